// The mailbox splitter: where messages are cut, what each holds, and that the
// result never depends on how the mailbox was cut into pieces.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "common/Normalise.h"
#include "common/SplitRecorder.h"
#include "common/TestFiles.h"
#include "convert/MailboxReader.h"
#include "convert/MessageSplitter.h"

namespace mailvane {
namespace test {

std::ostream& operator<<(std::ostream& out, const CutRecord& m) {
    return out << testing::PrintToString(m.text) << (m.tooLarge ? " (too large)" : "");
}

}  // namespace test

namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;

using Message = test::CutRecord;
using Collector = test::SplitRecorder;
using test::Split;
using test::SplitBy;
using test::SplitInPieces;

std::vector<std::string> Texts(const Split& split) {
    std::vector<std::string> texts;
    for (const auto& m : split.messages) texts.push_back(m.text);
    return texts;
}

// A model of the rule, written the plain way: make every break uniform first,
// then cut before each line that starts with "From ".
using test::Normalise;
const std::string_view kBom = "\xEF\xBB\xBF";

Split ModelSplit(std::string_view mailbox, LineEnd lineEnd) {
    const std::string eol = lineEnd == LineEnd::CrLf ? "\r\n" : "\n";
    if (mailbox.starts_with(kBom)) mailbox.remove_prefix(kBom.size());  // it belongs to no message
    const std::string text = Normalise(mailbox, eol);
    const auto blank = [](std::string_view s) {
        return s.find_first_not_of(" \t\r\n") == std::string_view::npos;
    };
    std::vector<std::size_t> starts;
    for (std::size_t at = 0;;) {
        if (text.compare(at, 5, "From ") == 0) starts.push_back(at);
        const auto end = text.find(eol, at);
        if (end == text.npos) break;
        at = end + eol.size();
    }
    Split split;
    if (starts.empty()) {
        if (blank(text)) return split;
        std::size_t at = 0;
        while (blank(text.substr(at, text.find(eol, at) - at)))
            at = text.find(eol, at) + eol.size();
        const std::string first = text.substr(at, text.find(eol, at) - at);
        split.shape = std::regex_search(first, std::regex("^[!-9;-~]+[ \t]*:"))
                          ? MailboxShape::SingleMessage
                          : MailboxShape::NotAMailbox;
        // Blank lines before the header are dropped.
        if (split.shape == MailboxShape::SingleMessage)
            split.messages.push_back({text.substr(at), "", ""});
        return split;
    }
    split.shape = MailboxShape::Mailbox;
    starts.push_back(text.size());
    const std::string preamble = blank(text.substr(0, starts[0])) ? "" : text.substr(0, starts[0]);
    for (std::size_t i = 0; i + 1 < starts.size(); ++i) {
        const std::string own = text.substr(starts[i], starts[i + 1] - starts[i]);
        const std::string before = i == 0 ? preamble : "";
        split.messages.push_back({before + own, own.substr(0, own.find(eol)), before});
    }
    return split;
}

TEST(Splitter, NulBytesAndVeryLongLinesAreKept) {
    const std::string longLine =
        std::string(3 << 20, 'a') + "\0\0\xff\xfe"s + std::string(1000, 'b');
    const std::string mailbox = "From a\nSubject: s\n\n" + longLine + "\nFrom b\n\0\n"s;
    const Split got = SplitBy(mailbox, 518 * 7, LineEnd::Lf);
    ASSERT_EQ(got.messages.size(), 2u);
    EXPECT_EQ(got.messages[0].text, "From a\nSubject: s\n\n" + longLine + "\n");
    EXPECT_EQ(got.messages[1].text, "From b\n\0\n"s);
}

TEST(Splitter, MessageOverTheSizeLimitFailsAlone) {
    const std::string big = "From b\nSubject: big\n\n" + std::string(200, 'x') + "\n";
    const std::string mailbox = "From a\nSubject: a\n\nsmall\n" + big + "From c\n\nsmall too\n";
    for (std::size_t piece : {1, 7, 64, 1000}) {
        const Split got = SplitBy(mailbox, piece, LineEnd::Lf, 64);
        ASSERT_EQ(got.messages.size(), 3u) << "pieces of " << piece;
        EXPECT_EQ(got.messages[0], (Message{"From a\nSubject: a\n\nsmall\n", "From a", ""}));
        EXPECT_TRUE(got.messages[1].tooLarge);
        EXPECT_EQ(got.messages[1].text, "");
        EXPECT_EQ(got.messages[2], (Message{"From c\n\nsmall too\n", "From c", ""}));
    }
    for (std::size_t piece : {1, 1000}) {
        // Text after a long run of blank lines is a preamble: message 1 holds
        // it and fails, rather than losing it without a word.
        const Split preamble =
            SplitBy(std::string(20, '\n') + "text\nFrom a\n\nx\n", piece, LineEnd::CrLf, 12);
        ASSERT_EQ(preamble.messages.size(), 1u);
        EXPECT_TRUE(preamble.messages[0].tooLarge);
        // No separator: an overlong header line still makes one (failed) message.
        const Split single =
            SplitBy("Subject: " + std::string(100, 'x') + "\n", piece, LineEnd::Lf, 12);
        EXPECT_EQ(single.shape, MailboxShape::SingleMessage) << "pieces of " << piece;
        ASSERT_EQ(single.messages.size(), 1u);
        EXPECT_TRUE(single.messages[0].tooLarge);
    }
    // A message of exactly the limit is kept.
    EXPECT_FALSE(
        SplitBy("From a\n" + std::string(57, 'x'), 5, LineEnd::Lf, 64).messages[0].tooLarge);
}

// Mailboxes made of awkward fragments, cut at random: the messages must be
// those of the plain model, whatever the cut. The fragments make every case
// the golden mailboxes show one at a time (look-alike separators, mixed
// breaks, preambles, byte-order marks, files without a separator whose first
// line is or is not a header field).
TEST(Splitter, RandomMailboxesDoNotDependOnTheCut) {
    const std::string separator = "From ann@example.org Mon Jan  1 10:00:00 2024";
    const std::vector<std::string> fragments = {
        "From ",    separator, "\n",     "\r\n",   "\r",   "F",          "Fr",
        "From",     "from ",   ">From ", "From:",  " ",    "Subject: s", "\t",
        "body",     "\0"s,     "\n\n",   "\r\r\n", "x: y", "\n\r",       "\xEF\xBB\xBF",
        "\xEF\xBB", "FROM ",   "a b: c", ": n",    "\x01"};
    std::mt19937 random(20240101);
    for (int round = 0; round < 400; ++round) {
        std::string mailbox;
        const int count = std::uniform_int_distribution<int>(0, 40)(random);
        for (int i = 0; i < count; ++i) {
            mailbox += fragments[std::uniform_int_distribution<std::size_t>(
                0, fragments.size() - 1)(random)];
        }
        for (LineEnd lineEnd : {LineEnd::CrLf, LineEnd::Lf}) {
            const Split want = ModelSplit(mailbox, lineEnd);
            std::uniform_int_distribution<std::size_t> size(1, 9);
            const Split got = SplitInPieces(mailbox, lineEnd, [&] { return size(random); });
            const Split whole = SplitBy(mailbox, mailbox.size() + 1, lineEnd);
            EXPECT_EQ(got.shape, want.shape) << testing::PrintToString(mailbox);
            EXPECT_EQ(got.messages, want.messages) << testing::PrintToString(mailbox);
            EXPECT_EQ(whole.messages, want.messages) << testing::PrintToString(mailbox);
            // With a small size limit some messages fail; which ones must not
            // depend on the cut either.
            const Split limited = SplitInPieces(
                mailbox, lineEnd, [&] { return size(random); }, 12);
            const Split limitedWhole = SplitBy(mailbox, mailbox.size() + 1, lineEnd, 12);
            EXPECT_EQ(limited.shape, limitedWhole.shape) << testing::PrintToString(mailbox);
            EXPECT_EQ(limited.messages, limitedWhole.messages) << testing::PrintToString(mailbox);
        }
    }
}

class NoEvents : public ReadEvents {
public:
    void BytesRead(std::uint64_t done) override { last = done; }
    bool StopRequested() override { return false; }
    std::uint64_t last = 0;
};

TEST(MailboxReader, ReadsTheSameMessagesWhateverTheBlockSize) {
    test::ScratchFolder folder;
    std::string mailbox;
    for (int i = 0; i < 40; ++i) {
        mailbox += "From m" + std::to_string(i) + "\r\nSubject: " + std::string(i * 7, 's') +
                   "\r\n\r\nFrom: not a separator\r\n";
    }
    test::WriteFile(folder / "box.mbox", mailbox);
    std::vector<std::string> first;
    for (std::size_t block : {1, 2, 517, 518, 519, 1 << 20}) {
        Collector sink;
        MessageSplitter splitter(LineEnd::Lf, sink);
        NoEvents events;
        const ReadResult result = ReadMailbox(folder / "box.mbox", splitter, events, block);
        EXPECT_TRUE(result.complete);
        EXPECT_EQ(result.bytesRead, mailbox.size());
        EXPECT_EQ(events.last, mailbox.size());
        EXPECT_EQ(result.mode, MboxReadMode::NotNormal);
        EXPECT_EQ(sink.messages.size(), 40u);
        const std::vector<std::string> texts = Texts({sink.messages, {}});
        if (first.empty()) first = texts;
        EXPECT_EQ(texts, first) << "blocks of " << block;
    }
    // No line feed among the first 512 bytes: read for CR line ends.
    test::WriteFile(folder / "cr.mbox", "From a\r" + std::string(600, 'x') + "\n");
    Collector sink;
    MessageSplitter splitter(LineEnd::Lf, sink);
    NoEvents events;
    EXPECT_EQ(ReadMailbox(folder / "cr.mbox", splitter, events).mode, MboxReadMode::Normal);
}

// Reads one block, then does something to the mailbox or the run.
class OnFirstRead : public ReadEvents {
public:
    explicit OnFirstRead(std::function<void()> action) : action_(std::move(action)) {}
    void BytesRead(std::uint64_t done) override {
        if (reads++ == 0) action_();
        last = done;
    }
    bool StopRequested() override { return stop; }
    int reads = 0;
    bool stop = false;
    std::uint64_t last = 0;

private:
    std::function<void()> action_;
};

TEST(MailboxReader, ReadsTheMailboxAsItWasWhenOpened) {
    test::ScratchFolder folder;
    const std::string original = "From a\n\none\nFrom b\n\ntwo\n";
    test::WriteFile(folder / "box.mbox", original);
    OnFirstRead events([&] {
        std::ofstream grow(folder / "box.mbox", std::ios::app | std::ios::binary);
        grow << "From c\n\nthree\n" << std::string(1 << 16, 'x');
    });
    Collector sink;
    MessageSplitter splitter(LineEnd::Lf, sink);
    const ReadResult result = ReadMailbox(folder / "box.mbox", splitter, events, 8);
    EXPECT_TRUE(result.complete);
    EXPECT_EQ(result.bytesRead, original.size());
    EXPECT_EQ(Texts({sink.messages, {}}),
              (std::vector<std::string>{"From a\n\none\n", "From b\n\ntwo\n"}));
    // A file that claims to be empty, as some special files do, is not read on.
    if (fs::exists("/proc/self/status")) {
        Collector none;
        MessageSplitter empty(LineEnd::Lf, none);
        NoEvents quiet;
        const ReadResult proc = ReadMailbox("/proc/self/status", empty, quiet);
        EXPECT_TRUE(proc.complete);
        EXPECT_EQ(proc.bytesRead, 0u);
        EXPECT_TRUE(none.messages.empty());
    }
}

TEST(MailboxReader, AStopIsHonouredBetweenAnyTwoReads) {
    test::ScratchFolder folder;
    // One large message: a stop must not wait for its end.
    test::WriteFile(folder / "big.mbox", "From a\n\n" + std::string(1 << 20, 'x') + "\n");
    OnFirstRead events([&] { events.stop = true; });
    Collector sink;
    MessageSplitter splitter(LineEnd::Lf, sink);
    const ReadResult result = ReadMailbox(folder / "big.mbox", splitter, events, 4096);
    EXPECT_TRUE(result.stopped);
    EXPECT_EQ(events.reads, 1);
    EXPECT_EQ(result.bytesRead, 4096u);
    EXPECT_TRUE(sink.messages.empty());
}

TEST(MailboxReader, RefusesWhatIsNoRegularFile) {
    test::ScratchFolder folder;
    Collector sink;
    MessageSplitter splitter(LineEnd::Lf, sink);
    NoEvents events;
    ReadResult missing = ReadMailbox(folder / "missing.mbox", splitter, events);
    EXPECT_FALSE(missing.opened);
    EXPECT_FALSE(missing.error.empty());
    ReadResult dir = ReadMailbox(folder.path(), splitter, events);
    EXPECT_FALSE(dir.opened);
    EXPECT_NE(dir.error.find("folder"), std::string::npos) << dir.error;
    ASSERT_EQ(::mkfifo((folder / "fifo.mbox").c_str(), 0600), 0);
    ReadResult fifo = ReadMailbox(folder / "fifo.mbox", splitter, events);  // must not block
    EXPECT_FALSE(fifo.opened);
    EXPECT_NE(fifo.error.find("FIFO"), std::string::npos) << fifo.error;
    EXPECT_TRUE(sink.messages.empty());
}

}  // namespace
}  // namespace mailvane
