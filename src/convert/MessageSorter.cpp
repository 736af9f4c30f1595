#include "convert/MessageSorter.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "convert/HeaderFields.h"
#include "mapi/import/MailState.h"
#include "support/Paths.h"

namespace mailvane {

namespace {

bool SameNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool HasLabel(const std::vector<std::string>& labels, std::string_view wanted) {
    return std::any_of(labels.begin(), labels.end(),
                       [&](const std::string& label) { return SameNoCase(label, wanted); });
}

}  // namespace

FolderPlace GmailPlace(const std::vector<std::string>& labels) {
    // Gmail shows mail in Trash or Spam there alone, whatever its labels.
    for (const char* bin : {"Trash", "Spam"})
        if (HasLabel(labels, bin)) return {bin};
    for (const std::string& label : labels) {
        if (mapi::import::IsGmailSystemLabel(label)) continue;
        // "Work/Projects" is Gmail's label Projects nested in Work.
        FolderPlace place;
        std::size_t start = 0;
        while (start <= label.size()) {
            std::size_t end = label.find('/', start);
            if (end == std::string::npos) end = label.size();
            std::string part = TrimBlanks(std::string_view(label).substr(start, end - start));
            if (!part.empty()) place.push_back(std::move(part));
            start = end + 1;
        }
        if (!place.empty()) return place;
    }
    if (HasLabel(labels, "Inbox")) return {"Inbox"};
    if (HasLabel(labels, "Sent") || HasLabel(labels, "Sent Mail")) return {"Sent"};
    if (HasLabel(labels, "Drafts")) return {"Drafts"};
    if (HasLabel(labels, "Chat")) return {"Chats"};
    return {"Archive"};
}

std::string FolderNameOnDisk(std::string_view name) {
    while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
    std::string out;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        const bool refused = byte < 0x20 || byte == 0x7f ||
                             std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos;
        out += refused ? '_' : c;
    }
    // Windows drops trailing dots and blanks, so "Work." would be "Work".
    while (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.pop_back();
    // "." and ".." are empty by now.
    if (out.empty()) return std::string(1, '_');
    return out;
}

MessageSorter::MessageSorter(MessageSink& next, SortRules rules,
                             std::function<bool(const FolderPlace&)> moveTo)
    : next_(next), rules_(rules), moveTo_(std::move(moveTo)) {}

void MessageSorter::WriteMessage(const CutMessage& message) {
    FolderPlace place;
    // A message that carries the text before the mailbox's first separator
    // stays where it is, so that text is never lost.
    if (!message.tooLarge && message.beforeSeparator().empty()) {
        const std::string_view headers = HeaderBlock(message.afterSeparator());
        if (MarkedExpunged(headers)) {
            if (!rules_.includeDeleted) {
                ++deletedSkipped_;
                return;
            }
            place = {"Deleted"};
        } else if (rules_.labelFolders || rules_.skipSpam || rules_.skipTrash) {
            if (const auto raw = FindHeader(headers, "X-Gmail-Labels")) {
                const std::vector<std::string> labels = mapi::import::GmailLabels(*raw);
                if (rules_.skipTrash && HasLabel(labels, "Trash")) {
                    ++trashSkipped_;
                    return;
                }
                if (rules_.skipSpam && HasLabel(labels, "Spam")) {
                    ++spamSkipped_;
                    return;
                }
                if (rules_.labelFolders) place = GmailPlace(labels);
            }
        }
    }
    if (place != current_) {
        if (!moveTo_(place)) {
            place.clear();
            if (place != current_) moveTo_(place);
        }
        current_ = std::move(place);
    }
    next_.WriteMessage(message);
}

}  // namespace mailvane
