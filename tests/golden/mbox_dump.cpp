// Prints a readable account of how a mailbox is cut into messages, and
// compares it with the expected text.
//
//   mailvane-mbox-dump MAILBOX             print the account
//   mailvane-mbox-dump MAILBOX EXPECTED    compare; with MAILVANE_UPDATE_GOLDEN=1
//                                          set, write EXPECTED instead
//
// The mailbox is cut with several read sizes (1, 2, 517, 518, 519 bytes and
// whole) and with both line-end forms; any difference between them is part
// of the account, so it can never match an expected file.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

// Shared with the unit tests and the fuzzer; the tests folder is not on this
// program's include path.
#include "../common/SplitRecorder.h"
#include "../common/TestFiles.h"

namespace {

using mailvane::LineEnd;
using mailvane::MailboxShape;
using mailvane::test::CutRecord;
using mailvane::test::Split;
using mailvane::test::SplitBy;

std::string Quoted(std::string_view text, std::size_t limit = 72) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + (text.size() > limit ? "\"..." : "\"");
}

const char* ShapeName(MailboxShape shape) {
    switch (shape) {
        case MailboxShape::Mailbox:
            return "mailbox";
        case MailboxShape::SingleMessage:
            return "one message without separator";
        case MailboxShape::Empty:
            return "empty";
        case MailboxShape::NotAMailbox:
            return "not a mailbox";
    }
    return "?";
}

std::string Dump(const std::string& mailbox) {
    const Split eml = SplitBy(mailbox, mailbox.size() + 1, LineEnd::CrLf);
    const Split emlx = SplitBy(mailbox, mailbox.size() + 1, LineEnd::Lf);
    std::ostringstream out;
    out << "bytes: " << mailbox.size() << "\nshape: " << ShapeName(eml.shape)
        << "\nmessages: " << eml.messages.size() << "\n";
    for (std::size_t piece : {1, 2, 517, 518, 519}) {
        if (!(SplitBy(mailbox, piece, LineEnd::CrLf) == eml) ||
            !(SplitBy(mailbox, piece, LineEnd::Lf) == emlx)) {
            out << "DIFFERENT when read in pieces of " << piece << " bytes\n";
        }
    }
    if (emlx.messages.size() != eml.messages.size()) out << "DIFFERENT message count for LF\n";
    for (std::size_t i = 0; i < eml.messages.size(); ++i) {
        const CutRecord& m = eml.messages[i];
        const std::string& lf = i < emlx.messages.size() ? emlx.messages[i].text : "";
        out << "\nmessage " << i + 1 << ": " << m.text.size() << " bytes with CR LF, " << lf.size()
            << " with LF\n";
        // The text itself, a line each, so that a change reads as one.
        const std::string_view text = m.text;
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t eol = text.find("\r\n", at);
            const std::size_t end = eol == std::string_view::npos ? text.size() : eol;
            out << "  | " << Quoted(text.substr(at, end - at), text.size()) << "\n";
            at = eol == std::string_view::npos ? text.size() : eol + 2;
        }
        if (!m.preamble.empty())
            out << "  preamble: " << m.preamble.size() << " bytes with CR LF\n";
        if (m.tooLarge) out << "  too large\n";
        // Every break is CR LF, and the LF form is the same text.
        std::string expectedLf = m.text;
        for (auto at = expectedLf.find("\r\n"); at != std::string::npos;
             at = expectedLf.find("\r\n", at)) {
            expectedLf.erase(at, 1);
        }
        if (expectedLf != lf || expectedLf.find('\r') != std::string::npos) {
            out << "  DIFFERENT line ends\n";
        }
    }
    return out.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s MAILBOX [EXPECTED]\n", argv[0]);
        return 2;
    }
    if (!std::filesystem::is_regular_file(argv[1])) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    const std::string dump = Dump(mailvane::test::ReadFile(argv[1]));
    if (argc == 2) {
        std::fwrite(dump.data(), 1, dump.size(), stdout);
        return 0;
    }
    const char* update = std::getenv("MAILVANE_UPDATE_GOLDEN");
    if (update && std::string(update) == "1") {
        if (!mailvane::test::WriteFile(argv[2], dump)) return 1;
        std::printf("wrote %s\n", argv[2]);
        return 0;
    }
    const bool ok = std::filesystem::is_regular_file(argv[2]);
    const std::string expected = mailvane::test::ReadFile(argv[2]);
    if (ok && expected == dump) return 0;
    std::printf("%s does not match %s\n--- got:\n%s--- expected:\n%s", argv[1], argv[2],
                dump.c_str(), ok ? expected.c_str() : "(missing)\n");
    return 1;
}
