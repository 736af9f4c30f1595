#pragma once
// Writes each message cut from a mailbox as one file in the mailbox's output
// folder: "email-N.eml" (CR LF line ends, separator line at its head) or
// "email-N.emlx" (length line, message with LF line ends and without its
// separator line, property list).
#include <cstdint>
#include <filesystem>
#include <string>

#include "convert/MessageSplitter.h"
#include "support/OutputFile.h"

namespace mailvane {

enum class MessageFormat { Eml, Emlx };

class WriterEvents {
public:
    virtual ~WriterEvents() = default;
    virtual void MessageSaved(std::int64_t number) = 0;
    virtual void MessageFailed(std::int64_t number, const std::string& cause) = 0;
};

// The line ends a format wants from the splitter.
LineEnd LineEndFor(MessageFormat format);

// The file name of message `number`: "email-3.eml".
std::string MessageFileName(MessageFormat format, std::int64_t number);

class MessageWriter : public MessageSink {
public:
    MessageWriter(MessageFormat format, WriterEvents& events);

    // Starts a mailbox: its opened output folder, numbering from 1.
    // REQUIRES: `mailboxFolder` outlives the mailbox's messages.
    void StartMailbox(const OutputFolder& mailboxFolder);
    // The messages from now on go to `folder` (a folder below the mailbox's
    // own), numbered on.
    // REQUIRES: `folder` outlives the mailbox's messages.
    void MoveTo(const OutputFolder& folder) { mailboxFolder_ = &folder; }
    void WriteMessage(const CutMessage& message) override;

    std::int64_t messageNumber() const { return messageNumber_; }

private:
    const MessageFormat format_;
    WriterEvents& events_;
    const OutputFolder* mailboxFolder_ = nullptr;
    std::int64_t messageNumber_ = 1;
};

}  // namespace mailvane
