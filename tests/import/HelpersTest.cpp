// The import's helpers: charsets, dates, subjects, attachment names and
// entry-id lists, each at the edges where mail goes wrong.
#include <glib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>

#include "common/TestFiles.h"
#include "mapi/import/Charsets.h"
#include "mapi/import/Dates.h"
#include "mapi/import/GMimeSupport.h"
#include "mapi/import/HeaderText.h"
#include "mapi/import/HtmlCharset.h"
#include "mapi/import/HtmlText.h"
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

// The plainest decoder there is: six bits per character into an
// accumulator, a byte out whenever eight are there, nothing after '='.
std::string ReferenceBase64(std::string_view text) {
    static const std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=') break;
        const size_t value = alphabet.find(c);
        if (value == std::string_view::npos) continue;
        bits = (bits << 6 | static_cast<uint32_t>(value)) & 0xFFFFFF;
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>(bits >> count);
        }
    }
    return out;
}

TEST(Base64, DecodesEveryByteEvenUnpaddedOrBroken) {
    // Clean text comes back as the bytes it encodes, with its padding or
    // without it (the last bytes of an attachment were once lost so).
    std::mt19937 random(11);
    const std::string bytes = test::RandomBytes(random, 10000);
    for (size_t cut : {size_t{0}, size_t{1}, size_t{2}}) {
        const std::string part = bytes.substr(0, bytes.size() - cut);
        gchar* clean = g_base64_encode(reinterpret_cast<const guchar*>(part.data()), part.size());
        std::string lines;
        for (std::string_view rest = clean; !rest.empty();
             rest.remove_prefix(std::min<size_t>(76, rest.size())))
            lines.append(rest.substr(0, 76)).append("\r\n");
        g_free(clean);
        EXPECT_EQ(DecodeBase64(lines), part);
        while (lines.find('=') != std::string::npos) lines.erase(lines.find('='), 1);
        EXPECT_EQ(DecodeBase64(lines), part) << "unpadded, " << cut << " bytes short";
    }

    // Broken text (stray bytes, '=' anywhere, any length) decodes as the
    // plain decoder above decodes it.
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        const size_t length = random() % 3 == 0 ? random() % 12000 : random() % 40;
        while (text.size() < length) {
            // Every other text mostly clean, so that long runs occur too.
            const unsigned pick = round % 2 == 0 && random() % 100 < 95 ? 0 : random() % 100;
            if (pick < 80)
                text += alphabet[random() % 64];
            else if (pick < 81)
                text += '=';
            else if (pick < 95)
                text += "\r\n";
            else
                text += static_cast<char>(random());
        }
        ASSERT_EQ(DecodeBase64(text), ReferenceBase64(text)) << round << ": " << text;
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
    EXPECT_EQ(SeparatorDate("From a Mon Jan  1 00:00:00 1900"), FileTime::FromUnix(-2208988800));
    EXPECT_FALSE(SeparatorDate("From a Fri Dec 31 23:59:59 1600"));
    EXPECT_FALSE(SeparatorDate("From a@b"));
    EXPECT_FALSE(SeparatorDate("From a@b Sat Jan 33 01:05:34 1998"));
    EXPECT_FALSE(SeparatorDate("From a@b Sat Jan  3 25:05:34 1998"));
    EXPECT_FALSE(SeparatorDate(""));
}

TEST(Dates, MailAndReceivedDates) {
    // Only the text after the last ';' is the date.
    EXPECT_EQ(ReceivedDate("from a (b; c) by d; Sat, 3 Jan 1998 01:05:34 +0000"),
              FileTime::FromUnix(883789534));
    EXPECT_FALSE(ReceivedDate("from a by b"));

    const struct {
        const char* text;
        std::optional<int64_t> seconds;
    } kDates[] = {
        {"Sat, 3 Jan 1998 02:05:34 +0100", 883789534},
        {"Thu, 01 Jan 1970 00:00:00 +0000", 0},
        {"Thu, 01 Jan 1970 01:00:00 +0100", 0},
        {"Wed, 31 Dec 1969 23:59:59 +0000", -1},
        {"Mon, 1 Jan 1900 00:00:00 +0000", -2208988800},
        {"1 Jan 1960 12:00 -0500 (EST)", -315558000},
        {"Mon, 1 Jan 1601 00:00:00 +0000", -11644473600},
        // What clients wrote and GMime misreads: a year kept as tm_year,
        // years of two digits, a zone glued to the time, AM and PM.
        {"Thu, 3 Jan 0102 01:05:34 +0000", 1010019934},
        {"Thu, 3 Jan 102 01:05:34 GMT", 1010019934},
        {"Fri, 27 Jan 017 00:19:08 GMT", 1485476348},
        {"Sat, 3 Jan 98 01:05:34 +0000", 883789534},
        {"3 Jan 49 01:05:34 +0000", 2493248734},
        {"3 Jan 50 01:05:34 +0000", -630975266},
        {"Tue, 15 Jan 2002 11:36:12+0000", 1011094572},
        {"Tue, 15 Jan 2002 06:50:21 PM -0400", 1011135021},
        {"15 Jan 2002 12:05 am", 1011053100},
        {"15 Jan 2002 12:05PM", 1011096300},
        {"3-Jan-1998 01:05:34 +0000", 883789534},
        {"15 January 2002 10:00:00 EDT", 1011103200},
        {"15 Jan 2002 10:00:00 PST", 1011117600},
        {"15 Jan 2002 10:00:00 A", 1011088800},  // military letters count as UTC
        {"15 Jan 2002 10:00:00 +01:00", 1011085200},
        {"Tue, 15 Jan 2002 10:00:00 (CET)", 1011085200},
        {"Tue, 15 Jan 2002 10:00:00 +0000 (CET)", 1011088800},
        {"2002-01-15 10:00:00", 1011088800},
        {"2002-01-15T11:00:00+01:00", 1011088800},
        {"Tue Jan 15 10:00:00 2002", 1011088800},
        {"01/15/2002 10:00 AM", 1011088800},
        // A Received field that ran into the next header.
        {"Thu, 30 Mar 2000 19:16:20 -0500 (EST) <10F4E7B8@a254.117>", 954461780},
        // No dates: before a FILETIME can count, a day the month lacks, a
        // time of day that is none, stray or missing parts, garbage.
        {"Sun, 31 Dec 1600 23:59:59 +0000", std::nullopt},
        {"Thu, 29 Feb 1900 00:00:00 +0000", std::nullopt},
        {"31 Apr 1950 00:00:00 +0000", std::nullopt},
        {"1 Jan 1950 24:00:00 +0000", std::nullopt},
        {"15 Jan 2002 10:00:00x +0000", std::nullopt},
        {"15 Jan 2002 18:00 AM", std::nullopt},
        {"15 Jan 2002 10:00 12", std::nullopt},
        {"3 17 Nov 200+9 16:23:53", std::nullopt},
        {"Jan 2002 10:00", std::nullopt},
        {"1 2 3", std::nullopt},
        {"not a date", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& row : kDates) EXPECT_EQ(MailDateSeconds(row.text), row.seconds) << row.text;
}

// Whatever GMime reads right reads the same: generated dates in the layouts
// mail uses, years and zones where GMime's reading is the right one.
TEST(Dates, ReadsWhatGMimeReadsRightAlike) {
    EnsureGMime();
    auto gmime = [](const std::string& text) -> std::optional<int64_t> {
        GDateTime* date = g_mime_utils_header_decode_date(text.c_str());
        if (!date) return std::nullopt;
        const int64_t seconds = g_date_time_to_unix(date);
        g_date_time_unref(date);
        return seconds;
    };
    static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    static const char* kZones[] = {"",     " +0000", " -0800", " +0530",      " +1345", " GMT",
                                   " UT",  " EST",   " EDT",   " CST",        " CDT",   " MST",
                                   " MDT", " PST",   " PDT",   " -0500 (EST)"};
    std::mt19937 random(5);
    for (int i = 0; i < 600; ++i) {
        const int year = 1970 + random() % 68, month = random() % 12, day = 1 + random() % 28;
        char time[16], year2[8], text[96];
        snprintf(time, sizeof time, random() % 2 ? "%02d:%02d:%02d" : "%d:%02d", int(random() % 24),
                 int(random() % 60), int(random() % 60));
        snprintf(year2, sizeof year2, random() % 3 ? "%d" : "%02d",
                 random() % 3 ? year : year % 100);
        const char* zone = kZones[random() % std::size(kZones)];
        switch (random() % 6) {
            case 0:
                snprintf(text, sizeof text, "Tue, %d %s %s %s%s", day, kMonths[month], year2, time,
                         zone);
                break;
            case 1:
                snprintf(text, sizeof text, "%02d-%s-%s %s%s", day, kMonths[month], year2, time,
                         zone);
                break;
            case 2:
                snprintf(text, sizeof text, "Tue %s %2d %s%s %d", kMonths[month], day, time, zone,
                         year);
                break;
            case 3:
                snprintf(text, sizeof text, "%d-%02d-%02d %s%s", year, month + 1, day, time, zone);
                break;
            case 4:
                snprintf(text, sizeof text, "%02d/%02d/%d %s%s", month + 1, day, year, time, zone);
                break;
            default:
                snprintf(text, sizeof text, "%d %s %s%s", day, kMonths[month], year2, zone);
        }
        const std::optional<int64_t> expected = gmime(text);
        ASSERT_TRUE(expected) << text;
        EXPECT_EQ(MailDateSeconds(text), expected) << text;
    }
}

TEST(HeaderText, EncodedWordsAndRawBytes) {
    const struct {
        std::string_view raw, fallback, text;
    } cases[] = {
        // Padding ends one word, not the run; the blanks between words go.
        {"=?utf-8?B?w6k=?= =?utf-8?B?w6g=?=", "", "\xC3\xA9\xC3\xA8"},
        {"=?iso-8859-1?q?a?=  \r\n =?iso-8859-1?q?b_c?=", "", "ab c"},
        // A character split across two words of one charset stays whole.
        {"=?utf-8?B?0J/RgNC40A==?= =?utf-8?B?stC10YIg0LzQuNGA?=", "",
         "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xD0\xBC\xD0\xB8\xD1\x80"},
        {"=?iso-8859-1?q?=E9?= =?utf-8?q?=C3=A8?=", "", "\xC3\xA9\xC3\xA8"},
        {"a =?utf-8*en?q?b?= c =?x-unknown?Q?caf=C3=A9?=", "", "a b c caf\xC3\xA9"},
        {"price =? 5 =?utf-8?q?broken", "", "price =? 5 =?utf-8?q?broken"},
        // Raw 8-bit text: UTF-8 when it is, else the body's charset.
        {"\xF0\xD2\xC9\xD7\xC5\xD4", "koi8-r", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},
        {"caf\xC3\xA9", "koi8-r", "caf\xC3\xA9"},
        {"caf\xE9", "", "caf\xC3\xA9"},
    };
    for (const auto& c : cases) EXPECT_EQ(DecodeHeaderText(c.raw, c.fallback), c.text) << c.raw;
    EXPECT_EQ(DecodePhrase(" \"Lee, =?utf-8?B?w4U=?= \\\"x\\\"\" (work) "), "Lee, \xC3\x85 \"x\"");

    EXPECT_EQ(PlainParameter("attachment; filename=\"a \\\"b\\\".pdf\"", "filename"),
              "a \"b\".pdf");
    EXPECT_EQ(PlainParameter("text/plain; NAME = a.txt ; charset=x", "name"), "a.txt");
    EXPECT_EQ(PlainParameter("attachment; filename*=utf-8''a.pdf; filename=x", "filename"),
              std::nullopt);
    EXPECT_EQ(PlainParameter("inline", "filename"), std::nullopt);
}

TEST(Names, SubjectPrefixesAndAttachmentNames) {
    const struct {
        const char *subject, *prefix, *normalized;
    } kSubjects[] = {
        {"Re: hello", "Re: ", "hello"},
        {"AW:hello", "AW: ", "hello"},
        {"R\u00E9f:  x", "R\u00E9f: ", "x"},  // 3 characters, 4 bytes
        {"Long: x", "", "Long: x"},           // 4 characters
        {"123: x", "", "123: x"},
        {": x", "", ": x"},
        {"Re:", "Re: ", ""},
    };
    for (const auto& c : kSubjects) {
        EXPECT_EQ(SplitSubject(c.subject).prefix, c.prefix) << c.subject;
        EXPECT_EQ(SplitSubject(c.subject).normalized, c.normalized) << c.subject;
    }
    const struct {
        const char *name, *fallback, *type, *longName, *extension, *shortName;
    } kNames[] = {
        {"a/b:c?.tar.gz", "attachment1", "dat", "a_b_c_.tar.gz", ".gz", "a_b_c_~1.gz"},
        {"", "attachment2", "png", "attachment2.png", ".png", "attach~1.png"},
        {" report.document ", "x", "dat", "report.document", ".document", "report~1.doc"},
        {"\xC3\xBC.txt", "x", "dat", "\xC3\xBC.txt", ".txt", "ATTACH~1.txt"},
        {"short.txt", "x", "dat", "short.txt", ".txt", "short.txt"},
        // Direction marks that would show "\u202Egnp.exe" as "exe.png" are dropped.
        {"\xE2\x80\xAEgnp.exe", "x", "dat", "gnp.exe", ".exe", "gnp.exe"},
        {"a\u2066b\u2069\u200F.txt", "x", "dat", "ab.txt", ".txt", "ab.txt"},
    };
    for (const auto& c : kNames) {
        const AttachNames names = MakeAttachNames(c.name, c.fallback, c.type);
        EXPECT_EQ(names.longName, c.longName) << c.name;
        EXPECT_EQ(names.extension, c.extension) << c.name;
        EXPECT_EQ(names.shortName, c.shortName) << c.name;
    }
}

// Each rule of the text an HTML mail reads as, once.
TEST(HtmlText, TextOfMarkup) {
    const struct {
        std::string html;
        std::string_view text;
    } cases[] = {
        // Blocks and line breaks; never two blank lines.
        {"<p>a</p><p></p><p>b<br>c</p><div>d</div>e<br><br><br><br>f",
         "a\r\n\r\nb\r\nc\r\n\r\nd\r\ne\r\n\r\nf"},
        // What is not text, conditional comments too.
        {"<html><head><title>T</title><style>p{}</style><script>if(a<b)x()</script></head>"
         "<body>a<!-- x -->b<![CDATA[c]]>d<!DOCTYPE html><!--[if mso]>e<![endif]-->"
         "<!--[if !mso]><!-->f<!--<![endif]--></body>",
         "abdf"},
        {"  a \r\n\t b&nbsp;&nbsp;c  ", "a b c"},
        {"<pre>\n  x  y\r\n\n z</pre>w", "  x  y\r\n\r\n z\r\n\r\nw"},
        {"<ul><li>a<li>b<ol start=3><li>c<li>d</ol></ul>e",
         "- a\r\n- b\r\n  3. c\r\n  4. d\r\n\r\ne"},
        {"<table><tr><td>a</td><td> b </td></tr><tr><th>c</th><td></td><td>d</td></tr></table>",
         "a\tb\r\nc\td"},
        {"<a href=\"https://example.com/x?a=1&amp;b=2\">Shop</a>, <a href='http://www.example.com/'"
         ">example.com</a>, <a href=mailto:ann@example.com>Ann</a> <a href=cid:l><img></a>",
         "Shop <https://example.com/x?a=1&b=2>, example.com, Ann"},
        {"&lt;&gt;&amp;&quot;&apos;&copy;&reg;&euro;&hellip;&mdash;&ndash;&lsquo;&rsquo;&ldquo;"
         "&rdquo;&laquo;&raquo;&bull;&middot;&trade;&eacute;&auml;&szlig;",
         "<>&\"'"
         "\xC2\xA9\xC2\xAE\xE2\x82\xAC\xE2\x80\xA6\xE2\x80\x94\xE2\x80\x93\xE2\x80\x98\xE2\x80"
         "\x99\xE2\x80\x9C\xE2\x80\x9D\xC2\xAB\xC2\xBB\xE2\x80\xA2\xC2\xB7\xE2\x84\xA2\xC3\xA9\xC3"
         "\xA4\xC3\x9F"},
        {"&#65;&#x42;&#0;&#x110000;&#xD800;&#150;&#99999999999999;",
         "AB\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xE2\x80\x93\xEF\xBF\xBD"},
        // Without ';' only the old Latin-1 names are references.
        {"&amp x &copy2024 &lang=en &bogus;",
         "& x \xC2\xA9"
         "2024 &lang=en &bogus;"},
        // Joiners between letters only; soft hyphens never.
        {"a\xE2\x80\x8C"
         "b \xE2\x80\x8C c&shy;d",
         "a\xE2\x80\x8C"
         "b cd"},
        {"wrote:<blockquote>one<br>two<blockquote>three</blockquote></blockquote>end",
         "wrote:\r\n\r\n> one\r\n> two\r\n\r\n> > three\r\n\r\nend"},
        {"a<hr><img><hr>b", "a\r\n________________________________\r\nb"},
        // Broken markup at the end hides nothing before it.
        {"a<!-- b > c", "a c"},
        {"x<a href=\"y>z", "xz"},
        {"p<div class=", "p"},
        {"q<script>r", "q"},
        {"caf\xE9 \xC3\xA9 a" + std::string(1, '\0') + "b",
         "caf\xC3\xA9 \xC3\xA9 a\xEF\xBF\xBD"
         "b"},
    };
    for (const auto& c : cases) EXPECT_EQ(HtmlToText(c.html), c.text) << c.html;
}

TEST(HtmlText, MailsAsTheyCome) {
    // A newsletter laid out in tables, with a hidden preheader and spacers.
    EXPECT_EQ(
        HtmlToText(
            "<!DOCTYPE html><html><head><title>Spring news</title><style>body{margin:0}</style>"
            "</head><body><span style=\"display:none\">Sale inside&zwnj;&nbsp;&zwnj;&nbsp;</span>\n"
            "<table width=\"100%\"><tr><td align=\"center\">\n <table width=\"600\"><tr><td>"
            "<img src=\"cid:logo\" alt=\"Acme\"></td><td align=\"right\"><a href=\"https://news."
            "example.com/view?id=7\">View online</a></td></tr>\n <tr><td colspan=\"2\"><h1>"
            "Spring&nbsp;sale</h1><p>Up to 30&#37; off &ndash; this week only.</p></td></tr>\n"
            " <tr><td>Rake</td><td>&euro;12</td></tr><tr><td>Spade</td><td>&euro;18</td></tr>\n"
            " <tr><td height=\"20\">&nbsp;</td></tr>\n <tr><td colspan=\"2\"><a href=\"https://"
            "news.example.com/c?u=1&amp;l=shop\">Shop now&nbsp;&rarr;</a></td></tr>\n </table>\n"
            " <table width=\"600\"><tr><td>&copy; 2024 Acme &middot; <a href=\"https://news."
            "example.com/u?u=1\">Unsubscribe</a></td></tr></table>\n</td></tr></table></body>"
            "</html>"),
        "Sale inside\r\nView online <https://news.example.com/view?id=7>\r\n\r\nSpring sale\r\n"
        "\r\nUp to 30% off \xE2\x80\x93 this week only.\r\n\r\nRake\t\xE2\x82\xAC"
        "12\r\nSpade\t\xE2\x82\xAC"
        "18\r\n\r\nShop now \xE2\x86\x92 <https://news.example.com/c?u=1&l=shop>\r\n"
        "\xC2\xA9 2024 Acme \xC2\xB7 Unsubscribe <https://news.example.com/u?u=1>");
    // Outlook: a paragraph per line, "&nbsp;" paragraphs between them, the
    // reply header in a bordered div.
    EXPECT_EQ(
        HtmlToText(
            "<html xmlns:o=\"urn:schemas-microsoft-com:office:office\"><head><meta http-equiv="
            "Content-Type content=\"text/html; charset=windows-1252\"><!--[if !mso]><style>v\\:* "
            "{behavior:url(#default#VML);}</style><![endif]--><style><!--\np.MsoNormal {margin:0cm;"
            "}\n--></style><!--[if gte mso 9]><xml>\n<o:shapedefaults v:ext=\"edit\" spidmax=\"102"
            "6\" />\n</xml><![endif]--></head><body lang=EN-GB><div class=WordSection1><p class=Ms"
            "oNormal>Hi Ann,<o:p></o:p></p><p class=MsoNormal><o:p>&nbsp;</o:p></p><p class=MsoNo"
            "rmal>The figures are attached &#8211; see sheet 2.<o:p></o:p></p><p class=MsoNormal>"
            "<o:p>&nbsp;</o:p></p><p class=MsoNormal>Kind regards,<o:p></o:p></p><p class=MsoNorm"
            "al><b><span style='color:#1F3864'>Bob<o:p></o:p></span></b></p><p class=MsoNormal><o"
            ":p>&nbsp;</o:p></p><div><div style='border:none;border-top:solid #E1E1E1 1.0pt'><p "
            "class=MsoNormal><b>From:</b> Ann &lt;ann@example.com&gt; <br><b>Sent:</b> 02 April "
            "2024 09:15<br><b>Subject:</b> Figures<o:p></o:p></p></div></div><p class=MsoNormal>"
            "<o:p>&nbsp;</o:p></p><p class=MsoNormal>Could you send them?<o:p></o:p></p></div>"
            "</body></html>"),
        "Hi Ann,\r\n\r\nThe figures are attached \xE2\x80\x93 see sheet 2.\r\n\r\nKind regards,"
        "\r\nBob\r\n\r\nFrom: Ann <ann@example.com>\r\nSent: 02 April 2024 09:15\r\nSubject: "
        "Figures\r\n\r\nCould you send them?");
    // Japanese, with its punctuation written as references.
    EXPECT_EQ(HtmlToText("<html><body><div>\xE5\xB1\xB1\xE7\x94\xB0\xE6\xA7\x98</div><div><br>"
                         "</div>\n<div>\xE4\xBC\x9A\xE8\xAD\xB0&#x3000;&#12300;\xE5\xA0\xB1\xE5"
                         "\x91\x8A&#12301;\xE3\x81\xAF&lt;\xE7\xAC\xAC\xEF\xBC\x92\xE4\xBC\x9A"
                         "\xE8\xAD\xB0\xE5\xAE\xA4&gt;\xE3\x81\xA7\xE3\x81\x99&hellip;</div>\n"
                         "<div>&mdash;&mdash;<br>\xE9\x88\xB4\xE6\x9C\xA8&nbsp;\xE4\xB8\x80\xE9"
                         "\x83\x8E</div></body></html>"),
              "\xE5\xB1\xB1\xE7\x94\xB0\xE6\xA7\x98\r\n\r\n\xE4\xBC\x9A\xE8\xAD\xB0\xE3\x80\x80"
              "\xE3\x80\x8C\xE5\xA0\xB1\xE5\x91\x8A\xE3\x80\x8D\xE3\x81\xAF<\xE7\xAC\xAC\xEF\xBC"
              "\x92\xE4\xBC\x9A\xE8\xAD\xB0\xE5\xAE\xA4>\xE3\x81\xA7\xE3\x81\x99\xE2\x80\xA6\r\n"
              "\xE2\x80\x94\xE2\x80\x94\r\n\xE9\x88\xB4\xE6\x9C\xA8 \xE4\xB8\x80\xE9\x83\x8E");
}

TEST(HtmlText, DeclaredCharset) {
    const struct {
        std::string html, charset;
    } cases[] = {
        {"<html><head><meta charset=\"UTF-8\">", "utf-8"},
        {"<META CONTENT='text/html; charset=Shift_JIS' HTTP-EQUIV=content-type>", "shift_jis"},
        {"<meta http-equiv=Content-Type content=\"text/html; charset = euc-jp ; x\">", "euc-jp"},
        // content without http-equiv names no charset.
        {"<meta content=\"text/html; charset=iso-8859-1\"><p>", ""},
        {"<!-- <meta charset=koi8-r> --><meta charset=windows-1251>", "windows-1251"},
        {"<p title=\"<meta charset=koi8-r>\">x</p>", ""},
        {std::string(kDeclarationWindow, ' ') + "<meta charset=utf-8>", ""},
        {"<meta charset=utf-16>", "utf-8"},
        {"\xEF\xBB\xBF<meta charset=latin1>", "utf-8"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(HtmlDeclaredCharset(c.html), c.charset) << c.html;
}

}  // namespace
}  // namespace mailvane::mapi::import
