// libFuzzer target for the mailbox splitter.
//
// The first 8 bytes of an input choose the sizes of the pieces the rest (the
// mailbox) is fed in. Whatever the input, the splitter must not crash and:
// - cut the same messages, of the same shape, as when fed in one piece (also
//   under a small size limit, where some messages fail);
// - give the same text in both line-end forms, apart from the line ends;
// - lose and add nothing: its messages joined are the mailbox with uniform
//   line ends, less a preamble of blank lines.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/Normalise.h"
#include "common/SplitRecorder.h"

namespace {

using mailvane::LineEnd;
using mailvane::MailboxShape;
using mailvane::test::Split;

// Whole when `sizes` is empty, else in pieces of 1 to 97 bytes that `sizes`
// chooses in turn.
Split Cut(std::string_view mailbox, LineEnd lineEnd, std::string_view sizes, std::size_t limit) {
    std::size_t turn = 0;
    return mailvane::test::SplitInPieces(
        mailbox, lineEnd,
        [&]() -> std::size_t {
            if (sizes.empty()) return mailbox.size();
            return static_cast<unsigned char>(sizes[turn++ % sizes.size()]) % 97 + 1;
        },
        limit);
}

using mailvane::test::Normalise;

bool Blank(std::string_view text) {
    return text.find_first_not_of(" \t\r\n") == text.npos;
}

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string_view sizes = input.substr(0, std::min<std::size_t>(8, size));
    const std::string_view mailbox = input.substr(sizes.size());

    const Split crlf =
        Cut(mailbox, LineEnd::CrLf, {}, mailvane::MessageSplitter::kDefaultMaxMessageBytes);
    const Split lf =
        Cut(mailbox, LineEnd::Lf, {}, mailvane::MessageSplitter::kDefaultMaxMessageBytes);
    Check(Cut(mailbox, LineEnd::CrLf, sizes, mailvane::MessageSplitter::kDefaultMaxMessageBytes) ==
          crlf);
    Check(Cut(mailbox, LineEnd::Lf, sizes, mailvane::MessageSplitter::kDefaultMaxMessageBytes) ==
          lf);
    Check(Cut(mailbox, LineEnd::Lf, sizes, 40) == Cut(mailbox, LineEnd::Lf, {}, 40));

    Check(crlf.shape == lf.shape && crlf.messages.size() == lf.messages.size());
    std::string joined;
    for (std::size_t i = 0; i < crlf.messages.size(); ++i) {
        const std::string& text = crlf.messages[i].text;
        Check(!crlf.messages[i].tooLarge && Normalise(text, "\n") == lf.messages[i].text);
        Check(Normalise(text, "\r\n") == text);
        // Every message but a first one with a preamble starts at its separator.
        Check(i == 0 || text.starts_with("From "));
        joined += text;
    }
    const std::string whole = Normalise(mailbox, "\r\n");
    switch (crlf.shape) {
        case MailboxShape::Mailbox:
            // Only a blank preamble is left out, and then all of it.
            Check(!joined.empty() && whole.ends_with(joined) &&
                  Blank(std::string_view(whole).substr(0, whole.size() - joined.size())));
            Check(joined.size() == whole.size() || joined.starts_with("From "));
            break;
        case MailboxShape::SingleMessage:
            // Only blank lines before the header are left out.
            Check(crlf.messages.size() == 1 && whole.ends_with(joined) &&
                  Blank(std::string_view(whole).substr(0, whole.size() - joined.size())) &&
                  !joined.empty() && joined[0] != ' ' && joined[0] != '\t' && joined[0] != '\r' &&
                  joined[0] != '\n');
            break;
        case MailboxShape::Empty:
            Check(crlf.messages.empty() && Blank(mailbox));
            break;
        case MailboxShape::NotAMailbox:
            Check(crlf.messages.empty() && !Blank(mailbox));
            break;
    }
    return 0;
}
