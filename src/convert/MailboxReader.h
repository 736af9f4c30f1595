#pragma once
// Reads one mailbox file through a MessageSplitter, which writes its messages.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "convert/MailboxFile.h"
#include "convert/MessageSplitter.h"

namespace mailvane {

class ReadEvents {
public:
    virtual ~ReadEvents() = default;
    // Called after each piece read, with the bytes read of this mailbox so far.
    virtual void BytesRead(std::uint64_t done) = 0;
    // Asked between pieces; true stops the reading before the next piece.
    virtual bool StopRequested() = 0;
};

struct ReadResult {
    MboxReadMode mode = MboxReadMode::Unknown;
    MailboxShape shape = MailboxShape::Empty;
    bool opened = false;    // the file could be opened as a mailbox
    bool complete = false;  // read to its end
    bool stopped = false;   // a stop request ended the reading
    std::string error;      // cause, when it could not be opened or read
    std::uint64_t bytesRead = 0;
};

constexpr std::size_t kReadBlockSize = std::size_t(256) << 10;

// Reads `path` to its end. When reading fails or is stopped part way, the
// message being collected is dropped (it would be incomplete); the messages
// before it are written.
ReadResult ReadMailbox(const std::filesystem::path& path, MessageSplitter& splitter,
                       ReadEvents& events, std::size_t blockSize = kReadBlockSize);

}  // namespace mailvane
