#include "mapi/import/MailState.h"

#include <algorithm>
#include <cstdlib>

#include "mapi/import/AsciiCase.h"
#include "mapi/import/HeaderText.h"

namespace mailvane::mapi::import {
namespace {

std::string Trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return std::string(text);
}

bool HasLabel(const std::vector<std::string>& labels, std::string_view wanted) {
    return std::find(labels.begin(), labels.end(), wanted) != labels.end();
}

}  // namespace

std::vector<std::string> GmailLabels(std::string_view raw, std::string_view charset) {
    std::vector<std::string> labels;
    auto add = [&](std::string_view piece) {
        std::string label = Trim(piece);
        if (label.size() >= 2 && label.front() == '"' && label.back() == '"')
            label = label.substr(1, label.size() - 2);
        label = Trim(DecodeHeaderText(label, charset));
        if (!label.empty() && !HasLabel(labels, label)) labels.push_back(std::move(label));
    };
    std::size_t start = 0;
    bool quoted = false;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '"') quoted = !quoted;
        if (raw[i] == ',' && !quoted) {
            add(raw.substr(start, i - start));
            start = i + 1;
        }
    }
    add(raw.substr(start));
    return labels;
}

bool IsGmailSystemLabel(std::string_view label) {
    static constexpr std::string_view kGmails[] = {"inbox",  "sent",     "drafts",    "spam",
                                                   "trash",  "starred",  "important", "unread",
                                                   "opened", "archived", "chat",      "sent mail"};
    const std::string lower = AsciiLower(std::string(label));
    return lower.rfind("category ", 0) == 0 ||
           std::find(std::begin(kGmails), std::end(kGmails), lower) != std::end(kGmails);
}

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
        const std::vector<std::string> all = GmailLabels(*labels);
        state.read = !HasLabel(all, "Unread");
        state.flagged = state.flagged || HasLabel(all, "Starred");
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
