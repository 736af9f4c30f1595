// The TNEF decoder on streams of our own writer: what each part of a
// stream becomes, and a cause (never a crash) for every kind of damage.
#include "mapi/import/Tnef.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "import/TnefWriter.h"

namespace mailvane::mapi::import {
namespace {

using namespace tnef_writer;

const TnefProperty* Find(const std::vector<TnefProperty>& props, uint32_t tag) {
    for (const auto& p : props)
        if (p.tag == tag) return &p;
    return nullptr;
}

FileTime At(int64_t days, int64_t seconds) {
    return FileTime::FromUnix(days * 86400 + seconds);
}

TEST(Tnef, FilesKeepNamesBytesAndDates) {
    TnefMessage m;
    ASSERT_EQ(DecodeTnef(TwoFiles().bytes(), &m), "");
    EXPECT_EQ(m.messageClass, "IPM.Note");
    EXPECT_EQ(m.subject, "Two files");
    EXPECT_EQ(m.codePage, 1252u);
    ASSERT_EQ(m.attachments.size(), 2u);
    const TnefAttachment& a = m.attachments[0];
    EXPECT_EQ(a.longFilename, "notes.txt");
    EXPECT_EQ(a.data, "first file\r\n");
    EXPECT_EQ(a.created, At(18690, 5 * 3600 + 6 * 60 + 7));  // 2021-03-04
    EXPECT_EQ(a.modified, At(19357, 86398));                 // 2022-12-31
    EXPECT_EQ(a.method, ATTACH_BY_VALUE);
    EXPECT_EQ(m.attachments[1].longFilename, "image.bin");
    ASSERT_EQ(m.attachments[1].data.size(), 300u);
    EXPECT_EQ(m.attachments[1].data[299], static_cast<char>(299 * 7));
    EXPECT_FALSE(m.attachments[1].created);
}

TEST(Tnef, WrongChecksumsAndTrailingTextAreNotFatal) {
    TnefWriter w = Opening(1252);
    w.Attr(kMessage, kAttSubject, std::string("Hi\0", 3), 0x1234);
    w.Attr(kAttach, kAttAttachTitle, std::string("x.txt\0", 6), 0);  // no attAttachRendData
    TnefMessage m;
    ASSERT_EQ(DecodeTnef(w.bytes() + "KAKdo", &m), "");
    EXPECT_EQ(m.subject, "Hi");
    ASSERT_EQ(m.attachments.size(), 1u);
    EXPECT_EQ(m.attachments[0].longFilename, "x.txt");
}

TEST(Tnef, NamesReadInTheStreamsCodePageUnlessGivenInUnicode) {
    // The code page after the text that needs it, as some writers put it.
    TnefWriter w;
    w.Attr(kAttach, kAttAttachRendData, RendData());
    w.Attr(kAttach, kAttAttachTitle, std::string("r\x82sum\x82.txt\0", 11));
    w.Attr(kAttach, kAttAttachRendData, RendData());
    w.Attr(kAttach, kAttAttachTitle, std::string("LONGNA~1.TXT\0", 13));
    w.Attr(kAttach, kAttAttachment,
           PropList()
               .Add(Tag(PidTagAttachLongFilename), Value(Utf16z("Long \xC3\x9C name.txt")))
               .Add(Tag(PidTagAttachMimeTag & ~0x1u), Value(std::string("text/plain\0", 11)))
               .Add(Tag(PidTagAttachContentId), Value(Utf16z("part1@x")))
               .Add(Tag(PidTagCreationTime), Time(FileTime{42}))
               .Add(Tag(PidTagAttachSize), Long(7))
               .Encode());
    w.Attr(kMessage, kAttOemCodepage, U32(437) + U32(0));
    TnefMessage m;
    ASSERT_EQ(DecodeTnef(w.bytes(), &m), "");
    ASSERT_EQ(m.attachments.size(), 2u);
    EXPECT_EQ(m.attachments[0].longFilename, "r\xC3\xA9sum\xC3\xA9.txt");
    const TnefAttachment& b = m.attachments[1];
    EXPECT_EQ(b.longFilename, "Long \xC3\x9C name.txt");
    EXPECT_EQ(b.mimeTag, "text/plain");
    EXPECT_EQ(b.contentId, "part1@x");
    EXPECT_EQ(b.created, FileTime{42});
    ASSERT_EQ(b.properties.size(), 1u);
    EXPECT_EQ(b.properties[0].tag, PidTagAttachSize);
}

TEST(Tnef, MessagePropertiesOverrideAttributesAndKeepTheRest) {
    TnefMessage m;
    ASSERT_EQ(DecodeTnef(Properties().bytes(), &m), "");
    EXPECT_EQ(m.messageClass, "IPM.Note.Custom");
    EXPECT_EQ(m.subject,
              "Gr\xC3\xBC\xC3\x9F"
              "e");
    EXPECT_EQ(m.rtfCompressed, kRtf);
    EXPECT_EQ(m.body, "caf\xC3\xA9");
    EXPECT_FALSE(m.html);
    ASSERT_EQ(m.properties.size(), 3u);                // the float left out
    EXPECT_EQ(m.properties[0].tag, PidTagSenderName);  // 8-bit made Unicode
    EXPECT_EQ(m.properties[0].value, PropValue(std::string("Bob")));
    EXPECT_EQ(m.properties[1].tag, 0x00170002u);
    EXPECT_EQ(m.properties[1].value, PropValue(int32_t{-1}));
    EXPECT_EQ(m.properties[2].value, PropValue(true));
    ASSERT_EQ(m.named.size(), 2u);
    EXPECT_EQ(m.named[0].set, "{00062008-0000-0000-C000-000000000046}");
    EXPECT_FALSE(m.named[0].byName);
    EXPECT_EQ(m.named[0].lid, 0x8539u);
    EXPECT_EQ(m.named[0].type, 0x101F);
    EXPECT_EQ(m.named[0].value, PropValue(std::vector<std::string>{"a", "bc"}));
    EXPECT_TRUE(m.named[1].byName);
    EXPECT_EQ(m.named[1].name, "Flag");
    ASSERT_EQ(m.recipients.size(), 1u);
    ASSERT_NE(Find(m.recipients[0], PidTagRecipientType), nullptr);
    EXPECT_EQ(Find(m.recipients[0], PidTagDisplayName)->value, PropValue(std::string("Ann")));
}

TEST(Tnef, EmbeddedMessageIsReadIntoItsAttachment) {
    TnefMessage m;
    ASSERT_EQ(DecodeTnef(Embedded().bytes(), &m), "");
    EXPECT_EQ(m.subject, "Outer");
    ASSERT_EQ(m.attachments.size(), 1u);
    const TnefAttachment& a = m.attachments[0];
    EXPECT_EQ(a.method, ATTACH_EMBEDDED_MSG);
    EXPECT_TRUE(a.data.empty());
    EXPECT_EQ(Find(a.properties, PidTagDisplayName)->value, PropValue(std::string("Forwarded")));
    ASSERT_TRUE(a.embedded);
    EXPECT_EQ(a.embedded->subject, "Inner");
    ASSERT_EQ(a.embedded->attachments.size(), 1u);
    EXPECT_EQ(a.embedded->attachments[0].longFilename, "inner.txt");
    EXPECT_EQ(a.embedded->attachments[0].data, "inner bytes");

    // Method 5 with the stream as plain binary data, and a wrong checksum inside.
    TnefWriter inner = Opening(1252);
    inner.Attr(kMessage, kAttSubject, std::string("In\0", 3), 7);
    TnefWriter w;
    w.Attr(kAttach, kAttAttachRendData, RendData());
    w.Attr(kAttach, kAttAttachData, inner.bytes());
    w.Attr(kAttach, kAttAttachment, PropList().Add(Tag(PidTagAttachMethod), Long(5)).Encode());
    ASSERT_EQ(DecodeTnef(w.bytes(), &m), "");
    ASSERT_TRUE(m.attachments[0].embedded);
    EXPECT_EQ(m.attachments[0].embedded->subject, "In");
}

// An attachment nesting `levels` messages, each in the one before.
std::string Nested(int levels) {
    std::string stream = Opening(1252).bytes();
    for (int i = 0; i < levels; ++i) {
        TnefWriter w;
        w.Attr(kAttach, kAttAttachment,
               PropList()
                   .Add(Tag(PidTagAttachDataObject), Value(std::string(kIidMessage) + stream))
                   .Encode());
        stream = w.bytes();
    }
    return stream;
}

TEST(Tnef, BrokenStreamsGiveACause) {
    const std::string two = TwoFiles().bytes();
    auto withAttr = [](uint8_t level, uint32_t id, const std::string& data) {
        return TnefWriter().Attr(level, id, data).bytes();
    };
    auto props = [&](const std::string& head, const std::string& value) {
        return withAttr(kMessage, kAttMsgProps, U32(1) + head + value);
    };
    const struct {
        const char* what;
        std::string bytes;
        const char* cause;
    } kCases[] = {
        {"empty", "", "too short"},
        {"signature only", two.substr(0, 4), "too short"},
        {"bad signature", TnefWriter(0x223E9F79).bytes(), "signature is 0x223e9f79"},
        {"cut attribute head", two.substr(0, 12), "offset 6 is cut short"},
        {"length past the end", two.substr(0, two.size() - 1), "runs past the end"},
        {"huge attribute length", two.substr(0, 11) + U32(0xFFFFFFF0) + two.substr(15),
         "attribute 0x00089006 at offset 6 runs past the end"},
        {"bad level", withAttr(3, kAttSubject, "x"), "offset 6 has level 3"},
        {"huge property count", withAttr(kMessage, kAttMsgProps, U32(0xFFFFFFFF) + U32(3)),
         "4294967295 properties cannot fit"},
        {"huge value count", props(Tag(PidTagBody), U32(0x40000000) + U32(2)),
         "1073741824 values cannot fit"},
        {"value past the end", props(Tag(PidTagBody), U32(1) + U32(0xFFFFFFFD) + "ab"),
         "value 0 of 4294967293 bytes runs past the end"},
        {"fixed value past the end", props(Tag(PidTagClientSubmitTime), "1234"),
         "property 0x00390040 at offset 19: value 0"},
        {"named property cut", props(Tag(0x80000003), std::string(kPsetidCommon)),
         "its name runs past the end"},
        {"name past the end",
         props(Tag(0x80000003), std::string(kPsetidCommon) + U32(1) + U32(0xFFFFFFFF)),
         "its name runs past the end"},
        {"unknown name kind", props(Tag(0x80000003), std::string(kPsetidCommon) + U32(2)),
         "name kind 2"},
        {"type of no known size", props(Tag(0x00010001), U32(0)), "type 0x00000001"},
        {"huge row count", withAttr(kMessage, kAttRecipTable, U32(0x7FFFFFFF)),
         "row count does not fit"},
        {"broken row", withAttr(kMessage, kAttRecipTable, U32(1) + U32(1) + Tag(PidTagRowid)),
         "row 0: property 0x30000003 at offset 23: value 0"},
        {"broken attachment list",
         withAttr(kAttach, kAttAttachment, U32(2) + Tag(PidTagAttachSize) + Long(1) + "ab"),
         "attribute 0x00069005 at offset 6: the property at offset 27 runs past the end"},
        {"nesting bomb", Nested(40), "nest deeper than 8"},
        {"broken embedded stream",
         TnefWriter()
             .Attr(kAttach, kAttAttachment,
                   PropList()
                       .Add(Tag(PidTagAttachDataObject),
                            Value(std::string(kIidMessage) + TnefWriter().bytes() + "\x01\x04"))
                       .Encode())
             .bytes(),
         "attachment 1's embedded message: the attribute at offset 53 is cut short"},
    };
    for (const auto& c : kCases) {
        TnefMessage m;
        EXPECT_NE(DecodeTnef(c.bytes, &m).find(c.cause), std::string::npos)
            << c.what << ": " << DecodeTnef(c.bytes, &m);
    }
    TnefMessage m;
    EXPECT_EQ(DecodeTnef(Nested(8), &m), "");
}

TEST(Tnef, EveryCutGivesACauseUnlessBetweenAttributes) {
    for (const TnefWriter& w : {TwoFiles(), Embedded()}) {
        const auto& ends = w.ends();
        for (size_t n = 0; n < w.bytes().size(); ++n) {
            const bool whole = std::find(ends.begin(), ends.end(), n) != ends.end();
            TnefMessage m;
            EXPECT_EQ(DecodeTnef(w.bytes().substr(0, n), &m).empty(), whole) << n;
        }
    }
}

}  // namespace
}  // namespace mailvane::mapi::import
