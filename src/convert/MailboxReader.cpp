#include "convert/MailboxReader.h"

#include <algorithm>
#include <memory>

namespace mailvane {

ReadResult ReadMailbox(const std::filesystem::path& path, MessageSplitter& splitter,
                       ReadEvents& events, std::size_t blockSize) {
    ReadResult result;
    MailboxFile file;
    if (!file.Open(path, result.error)) return result;
    result.opened = true;
    result.mode = ReadMBOXFile(file, result.error);
    if (result.mode == MboxReadMode::Unknown) return result;

    blockSize = std::max<std::size_t>(blockSize, 1);
    std::unique_ptr<char[]> block(new char[blockSize]);
    for (;;) {
        // A stop is honoured between any two reads. It drops only the message
        // still being collected; once the whole file is read, that message is
        // complete and is written.
        if (result.bytesRead < file.size() && events.StopRequested()) {
            result.stopped = true;
            splitter.Abandon();
            return result;
        }
        const std::int64_t count = file.Read(block.get(), blockSize, result.error);
        if (count < 0) {
            splitter.Abandon();
            return result;
        }
        if (count == 0) break;
        splitter.SaveMBOXFile(std::string_view(block.get(), static_cast<std::size_t>(count)));
        result.bytesRead += static_cast<std::uint64_t>(count);
        events.BytesRead(result.bytesRead);
    }
    result.shape = splitter.Finish();
    result.complete = true;
    return result;
}

}  // namespace mailvane
