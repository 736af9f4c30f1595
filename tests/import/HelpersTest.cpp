// The import's helpers: charsets, dates, subjects, attachment names and
// entry-id lists, each at the edges where mail goes wrong.
#include <glib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "mapi/import/Addresses.h"
#include "mapi/import/Charsets.h"
#include "mapi/import/Dates.h"
#include "mapi/import/GMimeSupport.h"
#include "mapi/import/Names.h"

namespace mailvane::mapi::import {
namespace {

// Declared, unknown and lying charsets in whole mails are in the golden
// accounts (charsets.mbox); these are the cases no mail there shows.
TEST(Charsets, LyingCharsetFallsBackWithoutLosingBytes) {
    EXPECT_EQ(DecodeText("caf\xC3\xA9", "us-ascii").utf8, "caf\xC3\xA9");  // UTF-8 labelled ASCII
    // Shift_JIS bytes that do not form Shift_JIS.
    EXPECT_FALSE(DecodeText("\x82", "shift_jis").asDeclared);
}

TEST(Charsets, CleanUtf8ReplacesNulAndReadsStrayBytes) {
    EXPECT_EQ(CleanUtf8(std::string_view("a\0b", 3)),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(CleanUtf8("ok \xC3\xA9 \xE9"), "ok \xC3\xA9 \xC3\xA9");
}

TEST(Charsets, ValidUtf8EndsWhereGLibSaysItDoes) {
    // Random text over the bytes where UTF-8 goes wrong, with ASCII runs
    // long enough for the eight-byte steps, against GLib's own judgement.
    const unsigned char edges[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                                   0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE,
                                   0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF};
    // Whole sequences just inside and just past each limit.
    const std::string_view sequences[] = {
        "\xC2\x80",         "\xE0\xA0\x80",     "\xE0\x9F\xBF",     "\xED\x9F\xBF",
        "\xED\xA0\x80",     "\xF0\x90\x80\x80", "\xF0\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF",
        "\xF4\x90\x80\x80", "\xF5\x80\x80\x80"};
    std::mt19937 random(7);
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const int pieces = static_cast<int>(random() % 8);
        for (int k = 0; k < pieces; ++k) {
            if (random() % 3 == 0)
                text.append(random() % 20, 'a');
            else if (random() % 2 == 0)
                text += sequences[random() % std::size(sequences)];
            else
                text += static_cast<char>(edges[random() % sizeof edges]);
        }
        const char* end = nullptr;
        g_utf8_validate_len(text.data(), text.size(), &end);
        ASSERT_EQ(Utf8ValidLength(text), static_cast<size_t>(end - text.data()))
            << testing::PrintToString(text);
    }
}

TEST(Base64, DecodesAsGMimesFilterDoesEvenWhenBroken) {
    EnsureGMime();
    // Clean text comes back as the bytes it encodes.
    std::string bytes;
    std::mt19937 random(11);
    for (int i = 0; i < 10000; ++i) bytes += static_cast<char>(random());
    gchar* clean = g_base64_encode(reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
    std::string lines;
    for (std::string_view rest = clean; !rest.empty();
         rest.remove_prefix(std::min<size_t>(76, rest.size())))
        lines.append(rest.substr(0, 76)).append("\r\n");
    g_free(clean);
    EXPECT_EQ(DecodeBase64(lines), bytes);

    // Broken text (stray bytes, '=' anywhere, long and short) decodes as
    // GMime's own decoding filter decodes it.
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int round = 0; round < 400; ++round) {
        std::string text;
        const size_t length = random() % 3 == 0 ? random() % 12000 : random() % 40;
        while (text.size() < length) {
            const unsigned pick = random() % 100;
            if (pick < 80)
                text += alphabet[random() % 64];
            else if (pick < 81)
                text += '=';
            else if (pick < 95)
                text += "\r\n";
            else
                text += static_cast<char>(random());
        }
        GMimeStream* source = g_mime_stream_mem_new_with_buffer(text.data(), text.size());
        GMimeDataWrapper* wrapper =
            g_mime_data_wrapper_new_with_stream(source, GMIME_CONTENT_ENCODING_BASE64);
        GMimeStream* sink = g_mime_stream_mem_new();
        g_mime_data_wrapper_write_to_stream(wrapper, sink);
        GByteArray* decoded = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(sink));
        const std::string expected(reinterpret_cast<const char*>(decoded->data), decoded->len);
        g_object_unref(sink);
        g_object_unref(wrapper);
        g_object_unref(source);
        ASSERT_EQ(DecodeBase64(text), expected) << round << ": " << text;
    }
}

TEST(Charsets, CodePagesOfAliases) {
    EXPECT_EQ(CodePageOf("CP1252"), 1252u);
    EXPECT_EQ(CodePageOf("x-cp1250"), 1250u);
    EXPECT_EQ(CodePageOf("latin1"), 28591u);
    EXPECT_EQ(CodePageOf("x-unknown"), 0u);
}

TEST(Dates, SeparatorLineDates) {
    EXPECT_EQ(SeparatorDate("From ann@example.com Sat Jan  3 01:05:34 1998"),
              FileTime::FromUnix(883789534));
    // A zone between time and year, and a "remote from" tail.
    EXPECT_EQ(SeparatorDate("From a@b Sat Jan  3 02:05:34 +0100 1998 remote from x"),
              FileTime::FromUnix(883789534));
    EXPECT_EQ(SeparatorDate("From a@b Sat Jan 3 01:05 1998"), FileTime::FromUnix(883789500));
    EXPECT_FALSE(SeparatorDate("From a@b"));
    EXPECT_FALSE(SeparatorDate("From a@b Sat Jan 33 01:05:34 1998"));
    EXPECT_FALSE(SeparatorDate("From a@b Sat Jan  3 25:05:34 1998"));
    EXPECT_FALSE(SeparatorDate(""));
}

TEST(Dates, MailAndReceivedDates) {
    EXPECT_EQ(ParseMailDate("Sat, 3 Jan 1998 02:05:34 +0100"), FileTime::FromUnix(883789534));
    EXPECT_FALSE(ParseMailDate("not a date"));
    EXPECT_FALSE(ParseMailDate(""));
    // Only the text after the last ';' is the date.
    EXPECT_EQ(ReceivedDate("from a (b; c) by d; Sat, 3 Jan 1998 01:05:34 +0000"),
              FileTime::FromUnix(883789534));
    EXPECT_FALSE(ReceivedDate("from a by b"));
}

TEST(Dates, TheEpochAndEarlierAreDates) {
    EXPECT_EQ(ParseMailDate("Thu, 01 Jan 1970 00:00:00 +0000"), FileTime::FromUnix(0));
    EXPECT_EQ(ParseMailDate("Thu, 01 Jan 1970 01:00:00 +0100"), FileTime::FromUnix(0));
    EXPECT_EQ(ParseMailDate("Wed, 31 Dec 1969 23:59:59 +0000"), FileTime::FromUnix(-1));
    // Years GMime does not read, in the form RFC 5322 writes.
    EXPECT_EQ(ParseMailDate("Mon, 1 Jan 1900 00:00:00 +0000"), FileTime::FromUnix(-2208988800));
    EXPECT_EQ(ParseMailDate("1 Jan 1960 12:00 -0500 (EST)"), FileTime::FromUnix(-315558000));
    EXPECT_EQ(ParseMailDate("Mon, 1 Jan 1601 00:00:00 +0000"), FileTime{0});
    // Still no dates: before a FILETIME can count, a day the month lacks,
    // a time of day that is none.
    EXPECT_FALSE(ParseMailDate("Sun, 31 Dec 1600 23:59:59 +0000"));
    EXPECT_FALSE(ParseMailDate("Thu, 29 Feb 1900 00:00:00 +0000"));
    EXPECT_FALSE(ParseMailDate("31 Apr 1950 00:00:00 +0000"));
    EXPECT_FALSE(ParseMailDate("1 Jan 1950 24:00:00 +0000"));
}

TEST(Names, SubjectPrefixes) {
    EXPECT_EQ(SplitSubject("Re: hello").prefix, "Re: ");
    EXPECT_EQ(SplitSubject("AW:hello").normalized, "hello");
    EXPECT_EQ(SplitSubject("R\xC3\xA9"
                           "f:  x")
                  .prefix,
              "R\xC3\xA9"
              "f: ");                               // 3 characters, 4 bytes
    EXPECT_EQ(SplitSubject("Long: x").prefix, "");  // 4 characters
    EXPECT_EQ(SplitSubject("123: x").prefix, "");
    EXPECT_EQ(SplitSubject(": x").prefix, "");
    EXPECT_EQ(SplitSubject("Re:").normalized, "");
}

TEST(Names, AttachmentNames) {
    AttachNames n = MakeAttachNames("a/b:c?.tar.gz", "attachment1", "dat");
    EXPECT_EQ(n.longName, "a_b_c_.tar.gz");
    EXPECT_EQ(n.extension, ".gz");
    EXPECT_EQ(n.shortName, "a_b_c_~1.gz");
    n = MakeAttachNames("", "attachment2", "png");
    EXPECT_EQ(n.longName, "attachment2.png");
    EXPECT_EQ(n.shortName, "attach~1.png");
    n = MakeAttachNames(" report.document ", "x", "dat");
    EXPECT_EQ(n.longName, "report.document");
    EXPECT_EQ(n.shortName, "report~1.doc");
    EXPECT_EQ(MakeAttachNames("\xC3\xBC.txt", "x", "dat").shortName, "ATTACH~1.txt");
    EXPECT_EQ(MakeAttachNames("short.txt", "x", "dat").shortName, "short.txt");
}

TEST(Addresses, EntryIdsAndLists) {
    std::string id = OneOffEntryId("A", "SMTP", "a@b");
    ASSERT_EQ(id.size(), 24u + 4 + 10 + 8);
    EXPECT_EQ(id.substr(22, 2), "\x01\x80");
    EXPECT_EQ(id.substr(24, 4), std::string("A\0\0\0", 4));
    EXPECT_EQ(AddressSearchKey("SMTP", "Ann@Example.com"),
              std::string("SMTP:ANN@EXAMPLE.COM\0", 21));
    std::string list = FlatEntryList({"abcde", "xyzw"});
    // Count 2, then 4+5+3 padding and 4+4 bytes of entries.
    EXPECT_EQ(list.substr(0, 8), std::string("\x02\0\0\0\x14\0\0\0", 8));
    EXPECT_EQ(list.size(), 8u + 20);
    EXPECT_EQ(list.substr(8, 12), std::string("\x05\0\0\0abcde\0\0\0", 12));
}

}  // namespace
}  // namespace mailvane::mapi::import
