// The import as the run calls it: what whole messages become. The golden
// accounts (tests/data/mime) cover the mapping; these pin the rules a golden
// file would not make plain, and the sizes no file should hold.
#include <gtest/gtest.h>

#include "mapi/MailItem.h"
#include "mapi/PropTags.h"
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

TEST(Import, HasAttachmentFlagOnlyWithAnAttachment) {
    MailItem plain;
    ASSERT_EQ(ImportMessage(kSeparator, "Subject: s\r\n\r\nbody\r\n", "", plain), "");
    EXPECT_EQ(Long(plain, PidTagMessageFlags), MSGFLAG_READ);

    MailItem withPreamble;
    ASSERT_EQ(ImportMessage(kSeparator, "Subject: s\r\n\r\nbody\r\n", "junk\r\n", withPreamble),
              "");
    EXPECT_EQ(Long(withPreamble, PidTagMessageFlags), MSGFLAG_READ | MSGFLAG_HASATTACH);

    MailItem withFile;
    ASSERT_EQ(ImportMessage(kSeparator,
                            "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\ntext\r\n"
                            "--b\r\nContent-Type: application/zip\r\n\r\nPK\r\n--b--\r\n",
                            "", withFile),
              "");
    EXPECT_EQ(Long(withFile, PidTagMessageFlags), MSGFLAG_READ | MSGFLAG_HASATTACH);
    EXPECT_EQ(Text(withFile, PidTagBody), "text");
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
    // A mail with no date gets none, rather than the time of the import.
    EXPECT_FALSE(Time(none, PidTagMessageDeliveryTime));
    EXPECT_FALSE(Time(none, PidTagCreationTime));
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

TEST(Import, LoneLineFeedsAreReadLikeCrLf) {
    MailItem item;
    ASSERT_EQ(ImportMessage("", "Subject: lf\nTo: a@b.c\n\nline 1\nline 2\n", "", item), "");
    EXPECT_EQ(Text(item, PidTagSubject), "lf");
    EXPECT_EQ(Text(item, PidTagDisplayTo), "a@b.c");
    EXPECT_EQ(Text(item, PidTagBody), "line 1\r\nline 2\r\n");
}

TEST(Import, DeepEmbeddingStopsAtALimitWithoutLosingTheRest) {
    // 40 messages each inside the last: deeper than the import follows.
    std::string message = "Subject: level 40\r\n\r\ninnermost text\r\n";
    for (int level = 39; level >= 1; --level)
        message = "Subject: level " + std::to_string(level) +
                  "\r\nContent-Type: message/rfc822\r\n\r\n" + message;
    MailItem item;
    ASSERT_EQ(ImportMessage(kSeparator, message, "", item), "");
    pst::MessageContent content = item.Content(nullptr);
    int depth = 1;
    while (!content.attachments.empty() && content.attachments[0].embedded) {
        pst::MessageContent inner = *content.attachments[0].embedded;
        content = std::move(inner);
        ++depth;
    }
    EXPECT_GT(depth, 20);
    EXPECT_LT(depth, 40);
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

}  // namespace
}  // namespace mailvane::mapi
