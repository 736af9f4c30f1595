#pragma once
// Decides, message by message, whether a message is converted and into
// which folder below its mailbox's own. Mail programs keep the messages a
// user deleted in the mailbox, marked expunged, until it is compacted: for
// the user they are gone, and they are left out unless asked for (then they
// go to "Deleted"). With Gmail's labels asked for, its Spam and Trash are
// left out unless asked for too, and with labels as folders each message
// goes to the folder of its first label.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/MessageSplitter.h"

namespace mailvane {

// Folder names below the mailbox's own folder, from the top down; empty for
// the mailbox's own folder.
using FolderPlace = std::vector<std::string>;

struct SortRules {
    bool includeDeleted = false;  // into "Deleted", instead of left out
    bool skipSpam = false;        // Gmail's Spam left out
    bool skipTrash = false;       // Gmail's Trash left out
    bool labelFolders = false;    // Gmail's labels as folders
};

// Where Gmail shows a message with these labels (as X-Gmail-Labels gives
// them): Trash or Spam for mail there, else the folder of its first label
// of the user's ("Work/Projects" nested), else Inbox, Sent, Drafts, Chats,
// or Archive for mail in none of them.
FolderPlace GmailPlace(const std::vector<std::string>& labels);

// A folder name as a file system takes it everywhere: characters Windows
// refuses and control characters as "_", no trailing dots or blanks, never
// "." or "..", never empty.
std::string FolderNameOnDisk(std::string_view name);

class MessageSorter : public MessageSink {
public:
    // `moveTo` is called before the first message whose place differs from
    // the one before; when it returns false the folder cannot be had and the
    // message goes to the mailbox's own folder instead.
    MessageSorter(MessageSink& next, SortRules rules,
                  std::function<bool(const FolderPlace&)> moveTo);
    void WriteMessage(const CutMessage& message) override;

    std::int64_t deletedSkipped() const { return deletedSkipped_; }
    std::int64_t spamSkipped() const { return spamSkipped_; }
    std::int64_t trashSkipped() const { return trashSkipped_; }

private:
    MessageSink& next_;
    const SortRules rules_;
    std::function<bool(const FolderPlace&)> moveTo_;
    FolderPlace current_;
    std::int64_t deletedSkipped_ = 0, spamSkipped_ = 0, trashSkipped_ = 0;
};

}  // namespace mailvane
