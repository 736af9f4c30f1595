#include "mapi/import/MailState.h"

#include <cstdlib>

namespace mailvane::mapi::import {
namespace {

bool HasLabel(const std::string& labels, std::string_view wanted) {
    size_t start = 0;
    while (start <= labels.size()) {
        size_t end = labels.find(',', start);
        if (end == std::string::npos) end = labels.size();
        std::string_view label(labels.data() + start, end - start);
        auto edge = [](char c) {
            return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '"';
        };
        while (!label.empty() && edge(label.front())) label.remove_prefix(1);
        while (!label.empty() && edge(label.back())) label.remove_suffix(1);
        if (label == wanted) return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

MailState ReadMailState(const std::function<std::optional<std::string>(const char*)>& field) {
    MailState state;
    const std::optional<std::string> mozilla = field("X-Mozilla-Status");
    const std::optional<std::string> status = field("Status");
    const std::optional<std::string> xstatus = field("X-Status");
    const std::optional<std::string> labels = field("X-Gmail-Labels");
    // Where a mail program keeps state, a message it marks nothing in is
    // unread (mutt writes "Status: RO" once one is read).
    const bool marked = mozilla || status || xstatus;
    if (marked) state.read = status && status->find('R') != std::string::npos;
    if (xstatus) {
        state.answered = xstatus->find('A') != std::string::npos;
        state.flagged = xstatus->find('F') != std::string::npos;
        state.deleted = xstatus->find('D') != std::string::npos;
        state.draft = xstatus->find('T') != std::string::npos;
    }
    if (labels && !marked) {
        state.read = !HasLabel(*labels, "Unread");
        state.flagged = state.flagged || HasLabel(*labels, "Starred");
    }
    if (mozilla) {
        const long bits = std::strtol(mozilla->c_str(), nullptr, 16);
        state.read = (bits & 0x0001) != 0;
        state.answered = state.answered || (bits & 0x0002) != 0;
        state.flagged = state.flagged || (bits & 0x0004) != 0;
        state.deleted = state.deleted || (bits & 0x0008) != 0;
        state.forwarded = (bits & 0x1000) != 0;
    }
    return state;
}

}  // namespace mailvane::mapi::import
