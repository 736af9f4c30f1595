#pragma once
// Imports each message cut from a mailbox into a new item of the mailbox's
// folder in a store, marks it read (and as having attachments only when it
// has one) and saves it; for message-file output, also writes the item as
// "Email-N.msg" into the mailbox's output folder.
#include <cstdint>
#include <filesystem>

#include "convert/MessageSplitter.h"
#include "convert/MessageWriter.h"

namespace mailvane {

namespace mapi {
class Folder;
}
class OutputFolder;

class StoreMessageWriter : public MessageSink {
public:
    explicit StoreMessageWriter(WriterEvents& events) : events_(events) {}

    // Starts a mailbox: the store folder that takes its items, numbering
    // from 1. `storePath` names the store in causes. With `msgFolder`, each
    // item is also written there as a message file.
    // REQUIRES: `folder` and `msgFolder` outlive the mailbox's messages.
    void StartMailbox(mapi::Folder& folder, const std::filesystem::path& storePath,
                      const OutputFolder* msgFolder = nullptr);
    void WriteMessage(const CutMessage& message) override;

    std::int64_t messageNumber() const { return messageNumber_; }
    std::int64_t saved() const { return saved_; }

private:
    WriterEvents& events_;
    mapi::Folder* folder_ = nullptr;
    const OutputFolder* msgFolder_ = nullptr;
    std::filesystem::path storePath_;
    std::int64_t messageNumber_ = 1;
    std::int64_t saved_ = 0;
};

}  // namespace mailvane
