// The import as the run calls it: what whole messages become. The golden
// accounts (tests/data/mime) cover the mapping; these pin the rules a golden
// file would not make plain, and the sizes no file should hold.
#include <gtest/gtest.h>

#include "mapi/MailItem.h"
#include "mapi/format/PropTags.h"
#include "mapi/import/MimeImport.h"

namespace mailvane::mapi {
namespace {

std::string Text(const MailItem& item, uint32_t tag) {
    auto v = item.GetProperty(tag);
    return v ? std::get<std::string>(*v) : std::string("(none)");
}

int32_t Long(const MailItem& item, uint32_t tag) {
    auto v = item.GetProperty(tag);
    return v ? std::get<int32_t>(*v) : -12345;
}

std::optional<FileTime> Time(const MailItem& item, uint32_t tag) {
    auto v = item.GetProperty(tag);
    if (!v) return std::nullopt;
    return std::get<FileTime>(*v);
}

const char kSeparator[] = "From a@example.com Sat Jan  3 01:05:34 1998";

// Text before a mailbox's first separator comes with message 1 as a file:
// the item then has an attachment, which no golden mail shows.
TEST(Import, APreambleMakesAnAttachment) {
    MailItem withPreamble;
    ASSERT_EQ(ImportMessage(kSeparator, "Subject: s\r\n\r\nbody\r\n", "junk\r\n", withPreamble),
              "");
    EXPECT_EQ(Long(withPreamble, PidTagMessageFlags), MSGFLAG_READ | MSGFLAG_HASATTACH);
}

TEST(Import, DeliveryTimeFallsBackFromReceivedToSeparatorToDate) {
    const std::string date = "Date: Fri, 2 Jan 1998 00:00:00 +0000\r\n";
    const std::string received = "Received: by x; Sun, 4 Jan 1998 00:00:00 +0000\r\n";
    MailItem all, noReceived, dateOnly, none;
    ImportMessage(kSeparator, received + date + "\r\nb", "", all);
    ImportMessage(kSeparator, date + "\r\nb", "", noReceived);
    ImportMessage("", date + "\r\nb", "", dateOnly);
    ImportMessage("From x", "Subject: s\r\n\r\nb", "", none);

    EXPECT_EQ(Time(all, PidTagMessageDeliveryTime), FileTime::FromUnix(883872000));
    EXPECT_EQ(Time(all, PidTagClientSubmitTime), FileTime::FromUnix(883699200));
    EXPECT_EQ(Time(noReceived, PidTagMessageDeliveryTime), FileTime::FromUnix(883789534));
    EXPECT_EQ(Time(dateOnly, PidTagMessageDeliveryTime), FileTime::FromUnix(883699200));
    EXPECT_EQ(Time(dateOnly, PidTagCreationTime), FileTime::FromUnix(883699200));
    // A mail with no date gets none, rather than the time of the import,
    // unless the mailbox's own time is given; it is then sent at that time.
    EXPECT_FALSE(Time(none, PidTagMessageDeliveryTime));
    EXPECT_FALSE(Time(none, PidTagCreationTime));
    MailItem undated;
    ImportMessage("From x", "Subject: s\r\n\r\nb", "", undated, {FileTime::FromUnix(1000), false});
    EXPECT_EQ(Time(undated, PidTagClientSubmitTime), FileTime::FromUnix(1000));
}

// What a mail program recorded, kept when asked: read, answered,
// forwarded, flagged; without the option every item is read.
TEST(Import, MailStateIsKeptWhenAsked) {
    const struct {
        const char* headers;
        int32_t flags, verb, flagStatus;
    } cases[] = {
        {"", MSGFLAG_READ, -12345, -12345},
        {"Status: O\r\n", 0, -12345, -12345},
        {"Status: RO\r\nX-Status: AF\r\n", MSGFLAG_READ, 102, 2},
        {"X-Mozilla-Status: 1001\r\n", MSGFLAG_READ, 104, -12345},
        {"X-Mozilla-Status: 0004\r\n", 0, -12345, 2},
        {"X-Gmail-Labels: Inbox,Unread,Starred\r\n", 0, -12345, 2},
        {"X-Gmail-Labels: Inbox,Opened\r\n", MSGFLAG_READ, -12345, -12345},
    };
    for (const auto& c : cases) {
        MailItem kept, plain;
        const std::string mail = std::string("Subject: s\r\n") + c.headers + "\r\nb";
        ASSERT_EQ(ImportMessage("", mail, "", kept, {std::nullopt, true}), "");
        ASSERT_EQ(ImportMessage("", mail, "", plain), "");
        EXPECT_EQ(Long(kept, PidTagMessageFlags), c.flags) << c.headers;
        EXPECT_EQ(Long(kept, PidTagLastVerbExecuted), c.verb) << c.headers;
        EXPECT_EQ(Long(kept, PidTagFlagStatus), c.flagStatus) << c.headers;
        EXPECT_EQ(Long(plain, PidTagMessageFlags), MSGFLAG_READ) << c.headers;
    }
}

TEST(Import, MegabyteHeaderBlockIsKeptWholeAndFieldsAfterItRead) {
    std::string headers;
    for (int i = 0; headers.size() < (1u << 20); ++i)
        headers += "X-Filler-" + std::to_string(i) + ": " + std::string(60, 'f') + "\r\n";
    headers += "Subject: after the filler\r\n";
    MailItem item;
    ASSERT_EQ(ImportMessage(kSeparator, headers + "\r\nthe body\r\n", "", item), "");
    EXPECT_EQ(Text(item, PidTagTransportMessageHeaders), headers);
    EXPECT_EQ(Text(item, PidTagSubject), "after the filler");
    EXPECT_EQ(Text(item, PidTagBody), "the body\r\n");
}

TEST(Import, HeaderEndsAtABlankLineOrAtTheFirstLineThatIsNoField) {
    const struct {
        const char* message;
        const char* subject;
        const char* body;
        const char* transportHeaders;
    } kCases[] = {
        // Text where a field should be starts the body, LF or CR LF.
        {"Subject: s\nnot a field\nX-A: b\n\nrest\n", "s", "not a field\r\nX-A: b\r\n\r\nrest\r\n",
         "Subject: s\n"},
        {"Subject: s\r\nnot a field\r\n\r\nrest", "s", "not a field\r\n\r\nrest", "Subject: s\r\n"},
        // A fold of blanks only is still a fold.
        {"Subject: s\n \nHi all\n", "s", "Hi all\r\n", "Subject: s\n \n"},
        // Blanks before the colon make a field, as older mail writes it; a
        // name outside printable ASCII does not.
        {"Subject : s\n\nb", "s", "b", "Subject : s\n"},
        {"Subject: s\nX-Caf\xC3\xA9: c\n\nb", "s", "X-Caf\xC3\xA9: c\r\n\r\nb", "Subject: s\n"},
        // A fold before any field belongs to none: it stays in the
        // transport headers and the fields after it are read.
        {"\tstray fold\r\nSubject: s\r\n\r\nb", "s", "b", "\tstray fold\r\nSubject: s\r\n"},
        // No field at all: every line is text.
        {"just text\nmore\n\nend\n", nullptr, "just text\r\nmore\r\n\r\nend\r\n", nullptr},
        {"  indented text\n\nend", nullptr, "  indented text\r\n\r\nend", nullptr},
        // An empty body sets none.
        {"Subject: s\r\n\r\n", "s", nullptr, "Subject: s\r\n"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.message);
        MailItem item;
        ASSERT_EQ(ImportMessage("", c.message, "", item), "");
        EXPECT_EQ(Text(item, PidTagSubject), c.subject ? c.subject : "(none)");
        EXPECT_EQ(Text(item, PidTagBody), c.body ? c.body : "(none)");
        EXPECT_EQ(Text(item, PidTagTransportMessageHeaders),
                  c.transportHeaders ? c.transportHeaders : "(none)");
    }
}

TEST(Import, ContentTypeWithoutSubtypeIsPlainTextButAReadableTypeStays) {
    const struct {
        const char* contentType;
        bool body;
    } kCases[] = {
        {"text", true},
        {"TEXT ; charset=us-ascii", true},
        {"text/", true},
        {"html", true},
        {"multipart; boundary=b", true},
        {"/plain", true},
        {"application/octet-stream", false},
        {"(note) application/octet-stream", false},
        {"application/octet-stream (note)", false},
        {"image/png", false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.contentType);
        MailItem item;
        std::string message = std::string("Subject: s\r\nContent-Type: ") + c.contentType +
                              "\r\n\r\n--b\r\nthe text\r\n";
        ASSERT_EQ(ImportMessage("", message, "", item), "");
        EXPECT_EQ(Text(item, PidTagBody), c.body ? "--b\r\nthe text\r\n" : "(none)");
        EXPECT_EQ(item.Content().attachments.size(), c.body ? 0u : 1u);
        EXPECT_FALSE(item.GetProperty(PidTagHtml));
    }
}

TEST(Import, MailboxesGMimeCannotReadKeepTheirAddress) {
    const struct {
        const char* from;
        const char* name;
        const char* address;
    } kCases[] = {
        {". <user@example.com>", ".", "user@example.com"},
        {"[x] <x@example.com>", "[x]", "x@example.com"},
        {"\"Unclosed <u@example.com>", "Unclosed", "u@example.com"},
        {"Ann <ann@example.com>", "Ann", "ann@example.com"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.from);
        MailItem item;
        ASSERT_EQ(ImportMessage("", std::string("From: ") + c.from + "\r\n\r\nb", "", item), "");
        EXPECT_EQ(Text(item, PidTagSenderName), c.name);
        EXPECT_EQ(Text(item, PidTagSenderSmtpAddress), c.address);
        EXPECT_EQ(Text(item, PidTagSentRepresentingSmtpAddress), c.address);
    }
    // One unreadable mailbox costs no other, and the order holds across
    // separators and groups.
    MailItem list;
    ASSERT_EQ(ImportMessage("",
                            "To: a@example.com; . <b@example.com>, Team: c@example.com, "
                            "\"D, Dee\" <d@example.com>;, e@example.com\r\n\r\nb",
                            "", list),
              "");
    EXPECT_EQ(Text(list, PidTagDisplayTo),
              "a@example.com; .; c@example.com; D, Dee; e@example.com");
}

TEST(Import, DeepEmbeddingStopsAtALimitWithoutLosingTheRest) {
    // 30,000 messages each inside the last (in a multipart of its own, as
    // forwarded mail is): deeper than the import follows, and megabytes of
    // them, as a very large message is looked into.
    std::string message;
    for (int level = 1; level < 30000; ++level) {
        const std::string boundary = "B" + std::to_string(level);
        message += "Subject: level " + std::to_string(level) +
                   "\r\nContent-Type: multipart/mixed; boundary=" + boundary + "\r\n\r\n--" +
                   boundary + "\r\nContent-Type: message/rfc822\r\n\r\n";
    }
    message += "Subject: innermost\r\n\r\ninnermost text\r\n";
    ASSERT_GT(message.size(), size_t{2} << 20);
    MailItem item;
    ASSERT_EQ(ImportMessage(kSeparator, message, "", item), "");
    pst::MessageContent content = item.Content();
    int depth = 1;
    while (!content.attachments.empty() && content.attachments[0].embedded) {
        pst::MessageContent inner = *content.attachments[0].embedded;
        content = std::move(inner);
        ++depth;
    }
    // Outlook's readers take 16 embedded levels below the message, no more.
    EXPECT_EQ(depth, 17);
    // The level below the last followed one is kept as a file, text and all.
    ASSERT_EQ(content.attachments.size(), 1u);
    PropValue data;
    for (const pst::Property& p : content.attachments[0].props) {
        if (p.tag == PidTagAttachDataBinary) {
            ASSERT_TRUE(FromStored(p, &data));
        }
    }
    EXPECT_NE(std::get<Binary>(data).bytes.find("innermost text"), std::string::npos);
}

// A large message of thousands of parts, at the top level, in a multipart
// below it or in an attached message, is read a share of them at a time
// (GMime would hold the whole tree), and comes out as read whole: every part
// whole and in order, the body chosen as the whole chooses it, parts after
// the many kept, and a line that only starts like a boundary in its part.
TEST(Import, VeryManyPartsComeOutWholeAndInOrder) {
    const int kParts = 2600;
    const auto content = [](int n) {
        return "part " + std::to_string(n) + "\r\n--XXnot a boundary\r\n" + std::string(400, 'z');
    };
    const std::string body = "--XX\r\nContent-Type: text/plain\r\n\r\nbody text\r\n";
    struct Case {
        const char* name;
        std::string head, tail;
        int bodyAfter;  // parts before the body part
        const char* lastName;
        bool attached = false;  // the parts are an attached message's
        bool wrapped = false;   // each part in a multipart of its own
        bool bodyKept = true;   // else the body part is an attachment
    };
    const std::string mixed = "Content-Type: multipart/mixed; boundary=\"XX\"\r\n\r\npreamble\r\n";
    const Case cases[] = {
        {"top level", mixed, "--XX--\r\nepilogue\r\n", 0, nullptr},
        {"body in a later share", mixed, "--XX--\r\n", 1500, nullptr},
        {"below the top level",
         "Content-Type: multipart/mixed; boundary=TOP\r\n\r\n--TOP\r\n" + mixed,
         "--XX--\r\n--TOP\r\nContent-Type: text/plain; name=after.txt\r\n\r\nafter\r\n--TOP--\r\n",
         0, "after.txt"},
        // Its last text is its body, though its first share has another.
        {"an alternative",
         "Content-Type: multipart/alternative; boundary=XX\r\n\r\n--XX\r\n"
         "Content-Type: text/plain\r\n\r\nan earlier text\r\n",
         "--XX--\r\n", 1500, nullptr},
        {"an attached message",
         "Content-Type: multipart/mixed; boundary=TOP\r\n\r\n--TOP\r\n"
         "Content-Type: text/plain\r\n\r\nbody text\r\n--TOP\r\n"
         "Content-Type: message/rfc822\r\n\r\nSubject: inner\r\nMIME-Version: 1.0\r\n" +
             mixed,
         "--XX--\r\n--TOP--\r\n", 0, nullptr, true},
        // A share then ends with a multipart's closing line.
        {"parts in multiparts of their own", mixed, "--XX--\r\n", 0, nullptr, false, true},
        // Its body is its first part or none, never the first of a later share.
        {"a related", "Content-Type: multipart/related; boundary=XX\r\n\r\n", "--XX--\r\n", 1000,
         nullptr, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string message = "Subject: many\r\nMIME-Version: 1.0\r\n" + c.head;
        for (int n = 1; n < kParts; ++n) {
            if (n - 1 == c.bodyAfter) message += body;
            const std::string inner = "IN" + std::to_string(n);
            message += "--XX \r\n";
            if (c.wrapped)
                message += "Content-Type: multipart/mixed; boundary=" + inner + "\r\n\r\n--" +
                           inner + "\r\n";
            message += "Content-Type: application/octet-stream; name=\"p" + std::to_string(n) +
                       ".bin\"\r\n\r\n" + content(n) + "\r\n";
            if (c.wrapped) message += "--" + inner + "--\r\n";
        }
        message += c.tail;
        ASSERT_GT(message.size(), size_t{1} << 20);
        MailItem item;
        ASSERT_EQ(ImportMessage(kSeparator, message, "", item), "");
        EXPECT_EQ(Text(item, PidTagBody), c.bodyKept ? "body text" : "(none)");
        const pst::MessageContent whole = item.Content();
        if (c.attached) {
            ASSERT_EQ(whole.attachments.size(), size_t{1});
        }
        const pst::MessageContent& got = c.attached ? *whole.attachments[0].embedded : whole;
        const int bodyAt = c.bodyKept ? kParts : c.bodyAfter;  // its attachment's index
        ASSERT_EQ(got.attachments.size(),
                  size_t{kParts - 1} + (c.lastName ? 1 : 0) + (c.bodyKept ? 0 : 1));
        for (size_t i = 0; i < got.attachments.size(); ++i) {
            const int n = static_cast<int>(i) + (static_cast<int>(i) > bodyAt ? 0 : 1);
            PropValue name, data;
            for (const pst::Property& p : got.attachments[i].props) {
                if (p.tag == PidTagAttachLongFilename) {
                    ASSERT_TRUE(FromStored(p, &name));
                }
                if (p.tag == PidTagAttachDataBinary) {
                    ASSERT_TRUE(FromStored(p, &data));
                }
            }
            if (static_cast<int>(i) == bodyAt) {
                ASSERT_EQ(std::get<Binary>(data).bytes, "body text");
                continue;
            }
            if (n == kParts) {
                ASSERT_EQ(std::get<std::string>(name), c.lastName);
                continue;
            }
            ASSERT_EQ(std::get<std::string>(name), "p" + std::to_string(n) + ".bin");
            ASSERT_EQ(std::get<Binary>(data).bytes, content(n)) << n;
        }
    }
}

}  // namespace
}  // namespace mailvane::mapi
