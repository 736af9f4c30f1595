// The EML and EMLX writers, and the header reading behind the EMLX property list.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include <string>
#include <vector>

#include "Children.h"
#include "common/TestFiles.h"
#include "convert/EmlxPropertyList.h"
#include "convert/HeaderFields.h"
#include "convert/MessageWriter.h"

namespace mailvane {
namespace {

class Events : public WriterEvents {
public:
    void MessageSaved(std::int64_t number) override { saved.push_back(number); }
    void MessageFailed(std::int64_t number, const std::string& cause) override {
        failed.push_back(number);
        causes.push_back(cause);
    }
    std::vector<std::int64_t> saved, failed;
    std::vector<std::string> causes;
};

// Cuts `mailbox` and writes its messages in `format` into `folder`.
Events Convert(const std::string& mailbox, MessageFormat format,
               const std::filesystem::path& folder) {
    Events events;
    MessageWriter writer(format, events);
    OutputFolder opened;
    opened.Open(folder);
    writer.StartMailbox(opened);
    MessageSplitter splitter(LineEndFor(format), writer);
    splitter.SaveMBOXFile(mailbox);
    splitter.Finish();
    return events;
}

struct Emlx {
    std::size_t declared = 0;
    std::string message, plist;
};

Emlx ReadEmlx(const std::filesystem::path& path) {
    const std::string bytes = test::ReadFile(path);
    Emlx emlx;
    const auto eol = bytes.find('\n');
    emlx.declared = std::stoul(bytes.substr(0, eol));
    emlx.message = bytes.substr(eol + 1, emlx.declared);
    emlx.plist = bytes.substr(std::min(bytes.size(), eol + 1 + emlx.declared));
    return emlx;
}

const std::string kMailbox =
    "From ann@example.org Mon Jan  1 10:00:00 2024\r\n"
    // Two encoded words, the first ending in padding: both are read.
    "Subject: =?UTF-8?B?w6k=?= =?UTF-8?B?bMOodmU=?= & co\r\n"
    "From: =?ISO-8859-1?Q?Ren=E9?= <rene@example.org>\r\n"
    "To: a@x, <b@y>\r\n"
    "Date: Tue, 02 Jan 2024 11:00:00 +0100\r\n"
    "\r\n"
    "body\r\n"
    "From bob@example.org Tue Jan  2 11:00:00 2024\n"
    "Subject: second\n"
    "\n"
    ">From quoted\n";

TEST(MessageWriter, EmlHoldsTheSeparatorAndCrLfBreaks) {
    test::ScratchFolder out;
    const Events events = Convert(kMailbox, MessageFormat::Eml, out.path());
    EXPECT_EQ(events.saved, (std::vector<std::int64_t>{1, 2}));
    EXPECT_EQ(test::ReadFile(out / "email-1.eml"), kMailbox.substr(0, kMailbox.find("From bob")));
    EXPECT_EQ(test::ReadFile(out / "email-2.eml"),
              "From bob@example.org Tue Jan  2 11:00:00 2024\r\nSubject: second\r\n\r\n>From "
              "quoted\r\n");
}

TEST(MessageWriter, EmlxIsLengthLineMessageWithoutSeparatorAndPropertyList) {
    test::ScratchFolder out;
    EXPECT_EQ(Convert(kMailbox, MessageFormat::Emlx, out.path()).saved.size(), 2u);
    const Emlx first = ReadEmlx(out / "email-1.emlx");
    EXPECT_EQ(first.message.size(), first.declared);
    EXPECT_EQ(first.message.substr(0, 56),
              "Subject: =?UTF-8?B?w6k=?= =?UTF-8?B?bMOodmU=?= & co\nFrom");
    EXPECT_EQ(first.message.find('\r'), std::string::npos);
    EXPECT_EQ(first.message.find("From ann"), std::string::npos);
    EXPECT_TRUE(first.message.ends_with("\n\nbody\n"));
    EXPECT_TRUE(first.plist.starts_with("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"));
    EXPECT_NE(
        first.plist.find("<key>subject</key>\n\t<string>\xC3\xA9l\xC3\xA8ve &amp; co</string>"),
        std::string::npos)
        << first.plist;
    EXPECT_NE(first.plist.find("<string>Ren\xC3\xA9 &lt;rene@example.org&gt;</string>"),
              std::string::npos);
    EXPECT_NE(first.plist.find("<string>a@x, &lt;b@y&gt;</string>"), std::string::npos);
    // From Date: (10:00 UTC), not from the separator line.
    EXPECT_NE(first.plist.find("<key>date-sent</key>\n\t<integer>1704189600</integer>"),
              std::string::npos);
    EXPECT_NE(first.plist.find("<key>flags</key>\n\t<integer>1</integer>"), std::string::npos);
    EXPECT_TRUE(first.plist.ends_with("</dict>\n</plist>\n"));

    const Emlx second = ReadEmlx(out / "email-2.emlx");
    EXPECT_EQ(second.message, "Subject: second\n\n>From quoted\n");
    EXPECT_EQ(second.declared, second.message.size());
    // No Date: header: the separator line's date.
    EXPECT_NE(second.plist.find("<integer>1704193200</integer>"), std::string::npos)
        << second.plist;
}

TEST(MessageWriter, EmlxKeepsAPreambleAndLeavesOutADateItCannotRead) {
    test::ScratchFolder out;
    Convert("notes\nFrom someone\nSubject: s\nDate: whenever\n\nbody", MessageFormat::Emlx,
            out.path());
    const Emlx emlx = ReadEmlx(out / "email-1.emlx");
    EXPECT_EQ(emlx.message, "notes\nSubject: s\nDate: whenever\n\nbody");
    EXPECT_EQ(emlx.declared, emlx.message.size());
    EXPECT_EQ(emlx.plist.find("date-sent"), std::string::npos);
}

TEST(MessageWriter, AFileThatCannotBeWrittenWholeIsRemoved) {
    // A file size limit stands in for a full disk: message 2 is cut short.
    test::ScratchFolder out;
    const std::string big = "From b\n\n" + std::string(64 << 10, 'x') + "\n";
    const int code = test::InChild(
        [&] {
            const Events events = Convert("From a\n\none\n" + big + "From c\n\nthree\n",
                                          MessageFormat::Eml, out.path());
            return events.saved == std::vector<std::int64_t>{1, 3} &&
                   events.failed == std::vector<std::int64_t>{2} &&
                   events.causes[0].find("too large") != std::string::npos;
        },
        [] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{16 << 10, 16 << 10};
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(77);
        });
    if (code == 77) GTEST_SKIP() << "no file size limit here";
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(std::filesystem::exists(out / "email-2.eml"));
    EXPECT_EQ(test::ReadFile(out / "email-3.eml"), "From c\r\n\r\nthree\r\n");
}

TEST(HeaderFields, FindsFieldsByNameNotInsideFoldedValues) {
    const std::string headers =
        "DKIM-Signature: v=1; h=From :\r\n"
        " Subject : To : Date;\r\n"
        "subject: the\r\n"
        "\treal one\r\n"
        "X-Empty:\r\n";
    EXPECT_EQ(FindHeader(headers, "Subject"), "the\treal one");
    EXPECT_EQ(FindHeader(headers, "x-empty"), "");
    EXPECT_EQ(FindHeader(headers, "To"), std::nullopt);
    EXPECT_EQ(HeaderBlock("A: 1\nB: 2\n\nC: 3\n"), "A: 1\nB: 2\n");
    EXPECT_EQ(HeaderBlock("A: 1\r\n\r\nC: 3\r\n"), "A: 1\r\n");
}

TEST(HeaderFields, XmlTextIsValidInAPropertyList) {
    EXPECT_EQ(XmlText("a<b>&\x01\tc"), "a&lt;b&gt;&amp; \tc");
    // U+FFFF and U+FFFE would make the property list unreadable; U+FFFD stays.
    EXPECT_EQ(XmlText("x\xEF\xBF\xBFy\xEF\xBF\xBE\xEF\xBF\xBD"), "x y \xEF\xBF\xBD");
}

// The EMLX date is the instant the store import reads from the same text.
TEST(HeaderFields, EmlxDateSentIsTheImportsDate) {
    const struct {
        std::string text;
        std::optional<long long> seconds;
    } kMessages[] = {
        // The separator's zone counts: 01:05:34 +0100 is 00:05:34 UTC.
        {"From a Sat Jan  3 01:05:34 +0100 1998\n\nbody\n", 883785934},
        {"From a Sat Jan  3 01:05:34 1998\nDate: Mon, 1 Jan 1900 00:00:00 +0000\n\n", -2208988800},
        // Before 1601 a date is no date: the separator's is taken.
        {"From a Sat Jan  3 01:05:34 1998\nDate: 1 Jan 1600 00:00:00 +0000\n\n", 883789534},
        {"From a Fri Dec 31 23:59:59 1600\n\n", std::nullopt},
    };
    for (const auto& row : kMessages) {
        const CutMessage cut{row.text, 0, row.text.find('\n') + 1};
        EXPECT_EQ(PropertiesOf(cut).dateSent, row.seconds) << row.text;
    }
}

}  // namespace
}  // namespace mailvane
