#pragma once
// Feeds a mailbox to the splitter in pieces and keeps every message it cut,
// for the unit tests, the fuzzer and the golden dump alike: whatever the
// pieces, the result must be the same.
#include <algorithm>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "convert/MessageSplitter.h"

namespace mailvane::test {

struct CutRecord {
    std::string text;
    std::string separator;  // the separator line, without its break
    std::string preamble;   // text before the separator line
    bool tooLarge = false;
    bool operator==(const CutRecord&) const = default;
};

struct Split {
    std::vector<CutRecord> messages;
    MailboxShape shape = MailboxShape::Empty;
    bool operator==(const Split&) const = default;
};

class SplitRecorder : public MessageSink {
public:
    void WriteMessage(const CutMessage& m) override {
        messages.push_back({std::string(m.text), std::string(m.separatorLine()),
                            std::string(m.beforeSeparator()), m.tooLarge});
    }
    std::vector<CutRecord> messages;
};

// Feeds `mailbox` in pieces whose sizes `next` gives (at least one byte each).
inline Split SplitInPieces(std::string_view mailbox, LineEnd lineEnd,
                           const std::function<std::size_t()>& next,
                           std::size_t maxBytes = MessageSplitter::kDefaultMaxMessageBytes) {
    SplitRecorder sink;
    MessageSplitter splitter(lineEnd, sink, maxBytes);
    for (std::size_t at = 0; at < mailbox.size();) {
        const std::size_t size = std::min(std::max<std::size_t>(next(), 1), mailbox.size() - at);
        splitter.SaveMBOXFile(mailbox.substr(at, size));
        at += size;
    }
    const MailboxShape shape = splitter.Finish();
    return {std::move(sink.messages), shape};
}

inline Split SplitBy(std::string_view mailbox, std::size_t pieceSize,
                     LineEnd lineEnd = LineEnd::CrLf,
                     std::size_t maxBytes = MessageSplitter::kDefaultMaxMessageBytes) {
    return SplitInPieces(
        mailbox, lineEnd, [=] { return pieceSize; }, maxBytes);
}

}  // namespace mailvane::test
