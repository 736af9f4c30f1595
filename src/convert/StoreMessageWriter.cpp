#include "convert/StoreMessageWriter.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <utility>
#include <variant>

#include "mapi/Folder.h"
#include "mapi/MailItem.h"
#include "mapi/format/PropTags.h"
#include "mapi/import/MimeImport.h"
#include "mapi/msg/CompoundFile.h"
#include "support/OutputFile.h"
#include "support/Paths.h"

namespace mailvane {

// One message from the moment it is handed in until it is saved.
struct StoreMessageWriter::Job {
    std::int64_t number = 0;
    CutMessage message;  // its text is in `bytes` once the message is kept
    AppendStrings::Bytes bytes;
    std::unique_ptr<mapi::MailItem> item;
    const OutputFolder* msgFolder = nullptr;
    // Set by the import.
    std::string cause;
    std::exception_ptr error;
    bool imported = false;  // guarded by mutex_ while the job is queued
};

unsigned StoreMessageWriter::DefaultImportThreads() {
    // Measured on two processors with nothing else running (10,000
    // messages, 125 MB): one import thread took a message-file run from
    // 2.35 to 1.45 s and a store run from 1.4 to 1.2 s, with a queue of 32
    // messages (a queue of 4 kept the threads waking each other for every
    // message and gained little). A second import thread on two processors
    // only added switching. On a machine already busy the thread costs
    // about a tenth more than it gains.
    const unsigned processors = std::thread::hardware_concurrency();
    return processors >= 4 ? 2 : processors >= 2 ? 1 : 0;
}

StoreMessageWriter::StoreMessageWriter(WriterEvents& events, Options options)
    : events_(events), options_(std::move(options)) {}

StoreMessageWriter::~StoreMessageWriter() {
    {
        // The jobs still queued are never started.
        std::lock_guard lock(mutex_);
        quitting_ = true;
        toImport_.clear();
    }
    workReady_.notify_all();
    // A thread still importing a job finishes it before it sees the flag;
    // the jobs are freed only after that.
    for (std::thread& thread : threads_) thread.join();
}

void StoreMessageWriter::StartMailbox(mapi::Folder& folder, const std::filesystem::path& storePath,
                                      const OutputFolder* msgFolder,
                                      std::optional<mapi::FileTime> mailboxTime) {
    mailboxTime_ = mailboxTime;
    folder_ = &folder;
    msgFolder_ = msgFolder;
    storePath_ = storePath;
    messageNumber_ = 1;
    saved_ = 0;
    stopped_ = false;
    // Started with the first mailbox, so a writer made and never used costs
    // no threads.
    while (threads_.size() < options_.importThreads)
        threads_.emplace_back([this] { ImportLoop(); });
}

void StoreMessageWriter::MoveTo(mapi::Folder& folder, const OutputFolder* msgFolder) {
    folder_ = &folder;
    msgFolder_ = msgFolder;
}

void StoreMessageWriter::WriteMessage(const CutMessage& message) {
    if (stopped_) return;
    auto job = std::make_unique<Job>();
    job->msgFolder = msgFolder_;
    // As with files, a failed message leaves a gap in the numbers.
    job->number = messageNumber_++;
    job->message = message;
    if (message.tooLarge) {
        job->imported = true;
    } else {
        job->item = folder_->Items().Add();
    }
    const std::size_t size = message.text.size();
    const bool inPlace = !message.tooLarge && (threads_.empty() || size > options_.maxPendingBytes);
    if (inPlace) {
        // Read from the splitter's own buffer, which stays put during this
        // call: the messages before it are saved first to keep the order.
        while (!pending_.empty() && !stopped_) SaveOldest();
        if (stopped_ || (options_.stopRequested && options_.stopRequested())) {
            stopped_ = true;
            return;
        }
        Import(*job);
        Save(*job);
        return;
    }
    // The splitter reuses its buffer for the next message: the job takes
    // the bytes it holds (or a copy, from a sink that offers none).
    if (!message.tooLarge) {
        std::size_t offset = 0;
        if (message.buffer) {
            offset = static_cast<std::size_t>(message.text.data() -
                                              message.buffer->ReturnString().data());
            job->bytes = message.buffer->Take();
        } else {
            job->bytes.reset(static_cast<char*>(std::malloc(std::max<std::size_t>(size, 1))));
            if (!job->bytes) throw std::bad_alloc();
            if (size) std::memcpy(job->bytes.get(), message.text.data(), size);
        }
        job->message.text = std::string_view(job->bytes.get() + offset, size);
        job->message.buffer = nullptr;
    }
    // Make room first, so the pending bytes never pass the limit.
    while (!pending_.empty() && (pending_.size() >= options_.maxPendingMessages ||
                                 pendingBytes_ + size > options_.maxPendingBytes))
        SaveOldest();
    if (stopped_) return;
    pendingBytes_ += size;
    Job* queued = job.get();
    pending_.push_back(std::move(job));
    if (!queued->imported) {
        {
            std::lock_guard lock(mutex_);
            toImport_.push_back(queued);
        }
        workReady_.notify_one();
    }
    // Whatever is imported already is saved now rather than later, so that
    // progress shows as it happens.
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (pending_.empty() || !pending_.front()->imported) break;
        }
        SaveOldest();
    }
}

void StoreMessageWriter::FinishMailbox() {
    while (!pending_.empty()) SaveOldest();
}

void StoreMessageWriter::SaveOldest() {
    if (options_.stopRequested && options_.stopRequested()) {
        stopped_ = true;
        DropPending();
        return;
    }
    Job& job = *pending_.front();
    {
        // Rather than sleep until the import threads reach the oldest
        // message, this thread imports the oldest one not yet started
        // itself: on two processors the imports are the longer half of the
        // work, and waking for every message costs more than it saves.
        std::unique_lock lock(mutex_);
        while (!job.imported) {
            if (toImport_.empty()) {
                importDone_.wait(lock);
                continue;
            }
            Job* next = toImport_.front();
            toImport_.pop_front();
            lock.unlock();
            Import(*next);
            lock.lock();
            next->imported = true;
        }
    }
    pendingBytes_ -= job.message.text.size();
    // Popped before saving, so that an exception the save passes on leaves
    // the list as it should be.
    std::unique_ptr<Job> owned = std::move(pending_.front());
    pending_.pop_front();
    Save(*owned);
}

void StoreMessageWriter::DropPending() {
    std::unique_lock lock(mutex_);
    for (Job* job : toImport_) job->imported = true;  // never started
    toImport_.clear();
    // A job a thread took is freed only once the thread is done with it.
    importDone_.wait(lock, [&] {
        return std::all_of(pending_.begin(), pending_.end(),
                           [](const std::unique_ptr<Job>& job) { return job->imported; });
    });
    lock.unlock();
    pending_.clear();
    pendingBytes_ = 0;
}

void StoreMessageWriter::ImportLoop() {
    for (;;) {
        Job* job = nullptr;
        {
            std::unique_lock lock(mutex_);
            workReady_.wait(lock, [&] { return quitting_ || !toImport_.empty(); });
            if (quitting_) return;
            job = toImport_.front();
            toImport_.pop_front();
        }
        Import(*job);
        {
            std::lock_guard lock(mutex_);
            job->imported = true;
        }
        importDone_.notify_all();
    }
}

void StoreMessageWriter::Import(Job& job) const {
    try {
        // Only message 1 can have text before its separator; it becomes an
        // attachment there rather than being lost.
        job.cause = mapi::ImportMessage(job.message.separatorLine(), job.message.afterSeparator(),
                                        job.message.beforeSeparator(), *job.item,
                                        {mailboxTime_, options_.keepState});
    } catch (...) {
        // Handed to the calling thread, which would have met it there.
        job.error = std::current_exception();
    }
}

void StoreMessageWriter::Save(Job& job) {
    if (job.error) std::rethrow_exception(job.error);
    const CutMessage& message = job.message;
    if (message.tooLarge) {
        events_.MessageFailed(job.number, "the message is too large (over the limit of " +
                                              std::to_string(message.sizeLimit) +
                                              " bytes) and was not imported");
        return;
    }
    mapi::MailItem& item = *job.item;
    std::string cause = std::move(job.cause);
    // The message file is made before the store takes the item's values,
    // and gets its name once the store has the message. A large one is
    // written straight into a file without a name (on Windows every one is
    // made in memory).
    std::string msgBytes, msgCause;
#ifdef _WIN32
    constexpr bool inFile = false;
#else
    const bool inFile = message.text.size() > options_.msgInMemoryBytes;
    PendingFile msgFile;
#endif
    if (cause.empty()) {
        // The import sets read, and has-attachments only when there is one.
        const auto flags = item.GetProperty(mapi::PidTagMessageFlags);
        const std::int32_t value = flags && std::holds_alternative<std::int32_t>(*flags)
                                       ? std::get<std::int32_t>(*flags)
                                       : mapi::MSGFLAG_READ;
        cause = mapi::HrSetOneProp(item, mapi::PidTagMessageFlags, value, false);
        if (cause.empty() && job.msgFolder && !inFile)
            msgCause = item.WriteMsgAndRelease(msg::Sink::Memory(&msgBytes));
#ifndef _WIN32
        if (cause.empty() && job.msgFolder && inFile) {
            msgCause = msgFile.CreateIn(*job.msgFolder);
            if (msgCause.empty()) msgCause = item.WriteMsgAndRelease(msg::Sink::File(msgFile.fd()));
        }
#endif
        // A message file's item is only written as the file: the staging
        // store keeps the folders, not the messages. Any other item is not
        // read again, so its bytes go to the store uncopied.
        if (cause.empty() && !job.msgFolder) cause = item.SaveAndRelease();
    }
    if (!cause.empty()) {
        events_.MessageFailed(job.number, "cannot import it into the store " +
                                              DisplayPath(storePath_) + ": " + cause);
        return;
    }
    if (job.msgFolder) {
        // A message file of that name that this run did not write is
        // someone's: it is never replaced, and the message counts failed.
        const std::string name = "Email-" + std::to_string(job.number) + ".msg";
        if (!msgCause.empty())
            cause = msgCause;
        else if (!inFile)
            cause = job.msgFolder->WriteWholeFile(name, {msgBytes}, CreateMode::Exclusive);
#ifndef _WIN32
        else
            cause = msgFile.Publish(name);
#endif
        if (!cause.empty()) {
            events_.MessageFailed(job.number, "cannot write " + name + ": " + cause);
            return;
        }
    }
    ++saved_;
    events_.MessageSaved(job.number);
}

}  // namespace mailvane
