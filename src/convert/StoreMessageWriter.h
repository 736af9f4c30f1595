#pragma once
// Imports each message cut from a mailbox into a new item of the mailbox's
// folder in a store, marks it read (and as having attachments only when it
// has one) and saves it; for message-file output, writes the item as
// "Email-N.msg" into the mailbox's output folder instead of saving it.
//
// Reading a message into an item costs about twice what saving it does, and
// the two are independent until the save, so import threads may read the
// next messages while the calling thread saves the earlier ones (and reads
// some itself rather than wait for them). What a caller
// sees does not change with the threads: every save, every event and every
// store access happens on the calling thread, in message order.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "convert/MessageSplitter.h"
#include "convert/MessageWriter.h"
#include "mapi/PropValue.h"

namespace mailvane {

namespace mapi {
class Folder;
}
class OutputFolder;

class StoreMessageWriter : public MessageSink {
public:
    struct Options {
        // Threads that import ahead of the saves; 0 imports each message on
        // the calling thread as it comes.
        unsigned importThreads = DefaultImportThreads();
        // Items read, answered and flagged as their mail program recorded,
        // instead of all marked read.
        bool keepState = false;
        // Bytes of messages handed in and not yet saved, at most; a message
        // larger than this is imported on the calling thread once the
        // earlier ones are saved, so a huge message is held only once.
        std::size_t maxPendingBytes = std::size_t(16) << 20;
        // Messages handed in and not yet saved, at most.
        std::size_t maxPendingMessages = 32;
        // Message files of messages up to this size are made in memory and
        // written with one call; larger ones are written straight into
        // their file as they are made, so they are not held twice.
        std::size_t msgInMemoryBytes = std::size_t(4) << 20;
        // Asked before each save; once true, the messages not yet saved are
        // dropped unreported and those handed in later are ignored, so a
        // stop takes effect after the message being saved.
        std::function<bool()> stopRequested;
    };
    // Two on a machine of four processors or more, one on two, else none.
    static unsigned DefaultImportThreads();

    explicit StoreMessageWriter(WriterEvents& events) : StoreMessageWriter(events, Options()) {}
    StoreMessageWriter(WriterEvents& events, Options options);
    // Items imported and not yet saved are dropped unsaved and unreported.
    ~StoreMessageWriter() override;

    // Starts a mailbox: the store folder that takes its items, numbering
    // from 1. `storePath` names the store in causes. With `msgFolder`, each
    // item is also written there as a message file.
    // REQUIRES: `folder` and `msgFolder` outlive the mailbox's messages.
    // REQUIRES: the previous mailbox, if any, was finished (FinishMailbox).
    // `mailboxTime` dates the mails that carry no date at all.
    void StartMailbox(mapi::Folder& folder, const std::filesystem::path& storePath,
                      const OutputFolder* msgFolder = nullptr,
                      std::optional<mapi::FileTime> mailboxTime = std::nullopt);
    // The messages handed in from now on go to `folder` (and `msgFolder`),
    // numbered on.
    // REQUIRES: as for StartMailbox.
    void MoveTo(mapi::Folder& folder, const OutputFolder* msgFolder);
    // Takes a copy of what it needs; the message may be saved, and its
    // event given, only by a later call.
    void WriteMessage(const CutMessage& message) override;
    // Saves every message handed in and not yet saved, each with its
    // event, unless a stop was requested. Call it at the end of a mailbox
    // before reading saved().
    void FinishMailbox();

    std::int64_t messageNumber() const { return messageNumber_; }
    std::int64_t saved() const { return saved_; }

private:
    struct Job;

    void Import(Job& job) const;
    void Save(Job& job);
    // Saves the oldest pending message once it is imported.
    void SaveOldest();
    // Drops every pending message once no thread is reading it.
    void DropPending();
    void ImportLoop();

    WriterEvents& events_;
    const Options options_;
    mapi::Folder* folder_ = nullptr;
    const OutputFolder* msgFolder_ = nullptr;
    std::filesystem::path storePath_;
    std::optional<mapi::FileTime> mailboxTime_;
    std::int64_t messageNumber_ = 1;
    std::int64_t saved_ = 0;
    bool stopped_ = false;

    // Messages handed in and not yet saved, oldest first; only the calling
    // thread changes this list.
    std::deque<std::unique_ptr<Job>> pending_;
    std::size_t pendingBytes_ = 0;

    std::mutex mutex_;
    std::condition_variable workReady_;   // toImport_ grew, or quitting_
    std::condition_variable importDone_;  // a job's `imported` became true
    std::deque<Job*> toImport_;           // guarded by mutex_
    bool quitting_ = false;               // guarded by mutex_
    std::vector<std::thread> threads_;
};

}  // namespace mailvane
