// gen_mbox: writes a large, deterministic MBOX file for the split benchmark.
//
//   gen_mbox [--seed N] [--messages N] [--size BYTES[K|M|G]] OUTPUT
//
// The same arguments always give the same bytes: the generator uses its own
// random number generator and its own arithmetic for every choice (no standard
// library distributions, no clock, no locale). It prints what it wrote as
// "key value" lines, among them a checksum (FNV-1a, 64 bits) of the whole file
// and the size of the largest message, separator line included.
//
// The mailbox has LF line ends and realistic messages: Received chains,
// addresses with UTF-8 display names, encoded-word subjects (B and Q), UTF-8
// text bodies, some HTML alternatives, replies with quoted text, forwarded
// messages whose body holds "From:" lines, body lines escaped as ">From ",
// and base64 attachments of up to 100 KB. Attachments are added as often as
// needed for the file to come out close to the requested size.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

// xoshiro256** seeded through splitmix64.
class Random {
public:
    explicit Random(std::uint64_t seed) {
        for (auto& word : state_) {
            seed += 0x9e3779b97f4a7c15ULL;
            std::uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            word = z ^ (z >> 31);
        }
    }
    std::uint64_t Next() {
        const std::uint64_t result = Rotate(state_[1] * 5, 7) * 9;
        const std::uint64_t t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = Rotate(state_[3], 45);
        return result;
    }
    // A number in [0, bound), bound > 0 (multiply-shift, exact enough here).
    std::uint64_t Below(std::uint64_t bound) {
        return static_cast<std::uint64_t>((static_cast<unsigned __int128>(Next()) * bound) >> 64);
    }
    std::uint64_t Between(std::uint64_t low, std::uint64_t high) {
        return low + Below(high - low + 1);
    }
    // True with probability percent / 100.
    bool Chance(unsigned percent) { return Below(100) < percent; }
    // True with probability numerator / 2^32.
    bool ChanceOf(std::uint64_t numerator) { return (Next() >> 32) < numerator; }
    template <typename T, std::size_t N>
    const T& Pick(const T (&items)[N]) {
        return items[Below(N)];
    }

private:
    static std::uint64_t Rotate(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    std::uint64_t state_[4];
};

// ---- Vocabulary -------------------------------------------------------------

const char* const kFirstNames[] = {
    "Anna",  "Ben",    "Carla",  "David", "Elena",  "Farid",    "Grace", "Hugo",   "Ines",
    "Jonas", "Karin",  "Liam",   "Maya",  "Nils",   "Olga",     "Pablo", "Quinn",  "Rosa",
    "Sam",   "Tara",   "Umar",   "Vera",  "Walter", "Xenia",    "Yusuf", "Zoe",    "José",
    "Zoë",   "Łukasz", "Jürgen", "Søren", "Chloé",  "François", "Ágnes", "Dvořák", "Иван",
    "Мария", "Νίκος",  "健太",   "美咲",  "Özlem",  "Renée",    "Þór"};
const char* const kLastNames[] = {
    "Adams",  "Becker", "Costa",   "Dubois",       "Evans",   "Fischer",   "Garcia",
    "Hansen", "Ito",    "Jensen",  "Kowal",        "Lopez",   "Martin",    "Novak",
    "Olsen",  "Petrov", "Quist",   "Rossi",        "Schmidt", "Tanaka",    "Urban",
    "Vogel",  "Weber",  "Young",   "Zimmer",       "Müller",  "Gonçalves", "Ødegård",
    "Núñez",  "Šimek",  "Иванова", "Παπαδόπουλος", "田中",    "佐藤",      "Çelik"};
const char* const kDomains[] = {
    "example.com",  "example.org",     "example.net",  "mail.example.com", "lists.example.org",
    "corp.example", "uni.example.edu", "shop.example", "post.example.de",  "courrier.example.fr"};
const char* const kLocalParts[] = {"info",    "office", "team",  "support", "news",
                                   "billing", "admin",  "sales", "hello",   "noreply"};
const char* const kAgents[] = {"Webmail/3.1", "DeskMail 12.4 (X11; Linux x86_64)",
                               "PocketPost/5.0.2", "Letterbox 2.9", "OfficeSuite Mail 16.0"};
const char* const kZones[] = {"+0000", "+0100", "+0200", "-0500", "-0800", "+0530", "+0900"};
const int kZoneMinutes[] = {0, 60, 120, -300, -480, 330, 540};
const char* const kWeekdays[] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};  // 1970-01-01
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

const char* const kEnglish[] = {
    "the",       "of",          "and",     "to",      "in",       "for",     "is",       "on",
    "that",      "by",          "this",    "with",    "you",      "it",      "not",      "or",
    "be",        "are",         "from",    "at",      "as",       "your",    "all",      "have",
    "new",       "more",        "an",      "was",     "we",       "will",    "can",      "about",
    "if",        "my",          "has",     "but",     "our",      "one",     "other",    "do",
    "no",        "information", "time",    "they",    "site",     "he",      "up",       "may",
    "what",      "which",       "their",   "news",    "out",      "use",     "any",      "there",
    "see",       "only",        "so",      "his",     "when",     "contact", "here",     "business",
    "who",       "web",         "also",    "now",     "help",     "get",     "view",     "online",
    "first",     "been",        "would",   "how",     "were",     "me",      "services", "some",
    "these",     "click",       "its",     "like",    "service",  "than",    "find",     "price",
    "date",      "back",        "top",     "people",  "had",      "list",    "name",     "just",
    "over",      "state",       "year",    "day",     "into",     "email",   "two",      "health",
    "world",     "next",        "used",    "go",      "work",     "last",    "most",     "products",
    "music",     "buy",         "data",    "make",    "them",     "should",  "product",  "system",
    "post",      "her",         "city",    "add",     "policy",   "number",  "such",     "please",
    "available", "copyright",   "support", "message", "after",    "best",    "software", "then",
    "meeting",   "report",      "budget",  "invoice", "schedule", "draft",   "review",   "project",
    "quarter",   "attached",    "agenda",  "minutes", "deadline", "thanks",  "regards",  "Friday"};
const char* const kEuropean[] = {
    "über",     "Straße",  "Grüße",     "Käse",       "Übersicht", "Bestätigung", "Rückfrage",
    "café",     "déjà",    "façade",    "élève",      "Fromage",   "réunion",     "œuvre",
    "mañana",   "niño",    "señal",     "corazón",    "año",       "pingüino",    "ação",
    "não",      "coração", "Ærø",       "smørrebrød", "kærlighed", "Łódź",        "żółw",
    "część",    "příliš",  "žluťoučký", "kůň",        "Ελλάδα",    "καλημέρα",    "ευχαριστώ",
    "Привет",   "спасибо", "встреча",   "отчёт",      "завтра",    "Ünlü",        "görüşme",
    "teşekkür", "€",       "½",         "–",          "“quoted”",  "…",           "naïve"};
const char* const kAsian[] = {"会議",       "報告書", "ありがとう", "よろしく", "お願いします",
                              "明日",       "预算",   "项目",       "谢谢",     "회의",
                              "감사합니다", "일정",   "🙂",       "👍",        "📎",
                              "✅",          "🎉",      "☕"};
const char* const kSubjectHeads[] = {"Meeting notes",
                                     "Quarterly report",
                                     "Invoice",
                                     "Re: Budget draft",
                                     "Lunch on Friday?",
                                     "Project update",
                                     "Your order has shipped",
                                     "Schedule change",
                                     "Fwd: Travel plans",
                                     "Weekly digest",
                                     "Question about the contract",
                                     "Photos from the trip",
                                     "Reminder",
                                     "Action required"};
const char* const kSubjectTails[] = {"Grüße aus München", "réunion de lundi",
                                     "Отчёт за квартал",  "会議の議事録",
                                     "Συνάντηση αύριο",   "pingüino ☕",
                                     "Zażółć gęślą jaźń", "naïve café résumé",
                                     "🎉 celebration",     "Bestätigung Ihrer Bestellung"};
const char* const kAttachmentTypes[] = {"application/pdf",
                                        "image/jpeg",
                                        "image/png",
                                        "application/zip",
                                        "application/octet-stream",
                                        "application/vnd.oasis.opendocument.text"};
const char* const kAttachmentNames[] = {"report", "scan",    "photo",   "archive",
                                        "data",   "minutes", "invoice", "slides"};
const char* const kAttachmentExts[] = {".pdf", ".jpg", ".png", ".zip", ".bin", ".odt"};

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// ---- Output -----------------------------------------------------------------

// Collects the file through a large buffer and keeps the checksum.
class Output {
public:
    explicit Output(std::FILE* file) : file_(file) { buffer_.reserve(kFlushAt + (1 << 20)); }
    void Add(std::string_view text) { buffer_.append(text); }
    void Add(char c) { buffer_.push_back(c); }
    std::string& buffer() { return buffer_; }
    void FlushIfFull() {
        if (buffer_.size() >= kFlushAt) Flush();
    }
    void Flush() {
        for (unsigned char c : buffer_) hash_ = (hash_ ^ c) * 0x100000001b3ULL;
        if (!buffer_.empty() &&
            std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size())
            failed_ = true;
        written_ += buffer_.size();
        buffer_.clear();
    }
    std::uint64_t written() const { return written_ + buffer_.size(); }
    std::uint64_t hash() const { return hash_; }
    bool failed() const { return failed_; }

private:
    static constexpr std::size_t kFlushAt = 8 << 20;
    std::FILE* file_;
    std::string buffer_;
    std::uint64_t written_ = 0;
    std::uint64_t hash_ = 0xcbf29ce484222325ULL;
    bool failed_ = false;
};

// ---- Text helpers ------------------------------------------------------------

struct Civil {
    int year, month, day, hour, minute, second, weekday;
};

Civil CivilOf(std::int64_t seconds) {
    const std::int64_t days = seconds / 86400;
    std::int64_t rest = seconds % 86400;
    Civil c{};
    c.weekday = static_cast<int>(days % 7);
    c.hour = static_cast<int>(rest / 3600);
    rest %= 3600;
    c.minute = static_cast<int>(rest / 60);
    c.second = static_cast<int>(rest % 60);
    // Days since 1970-01-01 to a civil date (proleptic Gregorian).
    const std::int64_t z = days + 719468;
    const std::int64_t era = z / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    c.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    c.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    c.year = static_cast<int>(yoe + era * 400 + (c.month <= 2 ? 1 : 0));
    return c;
}

// "Thu Jan  3 10:22:01 2019", as in a separator line.
std::string SeparatorDate(std::int64_t seconds) {
    const Civil c = CivilOf(seconds);
    char text[64];
    std::snprintf(text, sizeof text, "%s %s %2d %02d:%02d:%02d %d", kWeekdays[c.weekday],
                  kMonths[c.month - 1], c.day, c.hour, c.minute, c.second, c.year);
    return text;
}

// "Thu, 3 Jan 2019 11:22:01 +0100", as in a Date field.
std::string HeaderDate(std::int64_t seconds, int zone) {
    const Civil c = CivilOf(seconds + kZoneMinutes[zone] * 60);
    char text[64];
    std::snprintf(text, sizeof text, "%s, %d %s %d %02d:%02d:%02d %s", kWeekdays[c.weekday], c.day,
                  kMonths[c.month - 1], c.year, c.hour, c.minute, c.second, kZones[zone]);
    return text;
}

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Length of the UTF-8 sequence that starts with `lead`.
std::size_t SequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xf0) return 4;
    if (lead >= 0xe0) return 3;
    return 2;
}

void Base64Append(std::string& out, const unsigned char* bytes, std::size_t count) {
    std::size_t i = 0;
    for (; i + 3 <= count; i += 3) {
        const std::uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        out.push_back(kBase64[v >> 18]);
        out.push_back(kBase64[(v >> 12) & 63]);
        out.push_back(kBase64[(v >> 6) & 63]);
        out.push_back(kBase64[v & 63]);
    }
    if (i < count) {
        std::uint32_t v = bytes[i] << 16;
        if (i + 1 < count) v |= bytes[i + 1] << 8;
        out.push_back(kBase64[v >> 18]);
        out.push_back(kBase64[(v >> 12) & 63]);
        out.push_back(i + 1 < count ? kBase64[(v >> 6) & 63] : '=');
        out.push_back('=');
    }
}

// The text as encoded words ("=?UTF-8?B?...?=" or Q), folded onto
// continuation lines so that no encoded word is longer than 75 characters.
std::string EncodedWords(std::string_view text, bool useQ) {
    std::string out;
    std::size_t at = 0;
    bool first = true;
    while (at < text.size()) {
        // Take whole characters while the encoded word stays short enough.
        std::size_t end = at;
        std::size_t encoded = 0;
        while (end < text.size()) {
            const std::size_t length =
                std::min(SequenceLength(static_cast<unsigned char>(text[end])), text.size() - end);
            std::size_t cost = 0;
            if (useQ) {
                for (std::size_t k = 0; k < length; ++k) {
                    const auto c = static_cast<unsigned char>(text[end + k]);
                    const bool plain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
                                       (c >= 'a' && c <= 'z') || c == ' ';
                    cost += plain ? 1 : 3;
                }
            } else {
                cost = (end + length - at + 2) / 3 * 4 - encoded;
            }
            if (encoded + cost > 60) break;
            encoded += cost;
            end += length;
        }
        if (end == at) end = at + 1;
        if (!first) out += "\n ";
        first = false;
        out += useQ ? "=?UTF-8?Q?" : "=?UTF-8?B?";
        if (useQ) {
            static const char kHex[] = "0123456789ABCDEF";
            for (std::size_t k = at; k < end; ++k) {
                const auto c = static_cast<unsigned char>(text[k]);
                if (c == ' ') {
                    out += '_';
                } else if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
                           (c >= 'a' && c <= 'z')) {
                    out += static_cast<char>(c);
                } else {
                    out += '=';
                    out += kHex[c >> 4];
                    out += kHex[c & 15];
                }
            }
        } else {
            Base64Append(out, reinterpret_cast<const unsigned char*>(text.data() + at), end - at);
        }
        out += "?=";
        at = end;
    }
    return out;
}

// ---- Messages ----------------------------------------------------------------

struct Person {
    std::string name;     // display name, UTF-8
    std::string address;  // ASCII
};

class MessageMaker {
public:
    explicit MessageMaker(std::uint64_t seed) : random_(seed) {}

    Person MakePerson() {
        Person p;
        const char* first = random_.Pick(kFirstNames);
        const char* last = random_.Pick(kLastNames);
        p.name = std::string(first) + " " + last;
        std::string local;
        if (random_.Chance(20)) {
            local = random_.Pick(kLocalParts);
        } else {
            // ASCII local part from the index of the names, so it stays valid.
            local = "user" + std::to_string(random_.Below(5000));
        }
        p.address = local + "@" + random_.Pick(kDomains);
        return p;
    }

    // "Name <address>", the name quoted or encoded as it needs.
    std::string Mailbox(const Person& p) {
        if (random_.Chance(5)) return p.address;
        if (IsAscii(p.name)) return "\"" + p.name + "\" <" + p.address + ">";
        return EncodedWords(p.name, random_.Chance(60)) + " <" + p.address + ">";
    }

    std::string Subject() {
        std::string text = random_.Pick(kSubjectHeads);
        const int kind = static_cast<int>(random_.Below(100));
        if (kind < 55) {
            text += " " + std::to_string(random_.Below(1000));
            return text;
        }
        text += " – ";
        text += random_.Pick(kSubjectTails);
        if (kind < 65) return text;  // raw UTF-8 in the header, as some mailers send
        return EncodedWords(text, kind < 80);
    }

    // A paragraph of words wrapped at about 72 bytes; `language` picks the mix.
    void Paragraph(std::string& out, int language, std::size_t words) {
        std::string line;
        bool sentenceStart = true;
        for (std::size_t w = 0; w < words; ++w) {
            std::string word;
            const auto roll = random_.Below(100);
            if (language == 0 || roll < 70) {
                word = random_.Pick(kEnglish);
            } else if (language == 1 || roll < 90) {
                word = random_.Pick(kEuropean);
            } else {
                word = random_.Pick(kAsian);
            }
            if (sentenceStart && word[0] >= 'a' && word[0] <= 'z') word[0] -= 32;
            sentenceStart = random_.Chance(8);
            if (sentenceStart)
                word += random_.Chance(80) ? "." : "?";
            else if (random_.Chance(5))
                word += ",";
            if (!line.empty() && line.size() + 1 + word.size() > 72) {
                EmitLine(out, line);
                line.clear();
            }
            if (!line.empty()) line += ' ';
            line += word;
        }
        if (!line.empty()) EmitLine(out, line);
    }

    // A body line as a mail system stores it: "From " at its start is escaped.
    static void EmitLine(std::string& out, std::string_view line) {
        if (line.substr(0, 5) == "From ") out += '>';
        out.append(line);
        out += '\n';
    }

    void TextBody(std::string& out, int language, const Person& from) {
        out += random_.Chance(50) ? "Hello,\n\n"
                                  : "Hi " + std::string(kFirstNames[random_.Below(26)]) + ",\n\n";
        const std::size_t paragraphs = random_.Between(1, 6);
        for (std::size_t i = 0; i < paragraphs; ++i) {
            Paragraph(out, language, random_.Between(15, random_.Chance(10) ? 700 : 160));
            out += '\n';
            if (random_.Chance(3)) {
                // A line that began with "From " before the mailbox escaped it.
                out += random_.Chance(50) ? ">From the minutes of the last meeting:\n"
                                          : ">From " + from.address + " we heard nothing yet.\n";
                out += '\n';
            }
        }
        if (random_.Chance(4)) {
            // A forwarded message: header-like lines inside the body.
            const Person other = MakePerson();
            out += "---------- Forwarded message ---------\n";
            out += "From: " + Mailbox(other) + "\n";
            out += "Date: " + HeaderDate(time_ - 86400 * 3, 0) + "\n";
            out += "Subject: " + std::string(random_.Pick(kSubjectHeads)) + "\n\n";
            Paragraph(out, language, random_.Between(10, 80));
            out += '\n';
        }
        if (random_.Chance(25)) {
            // A reply: quoted text with its attribution line.
            out += "On " + HeaderDate(time_ - 7200, 1) + ", " + from.name + " wrote:\n";
            std::string quoted;
            Paragraph(quoted, language, random_.Between(10, 120));
            std::size_t at = 0;
            while (at < quoted.size()) {
                const std::size_t end = quoted.find('\n', at);
                out += "> ";
                out.append(quoted, at, end - at + 1);
                at = end + 1;
            }
            out += '\n';
        }
        out += "Best regards,\n" + from.name + "\n";
        if (random_.Chance(30)) out += "-- \nSent from my desk\n";
    }

    static void HtmlOf(std::string& out, std::string_view text) {
        out += "<html><body>\n<p>";
        for (char c : text) {
            if (c == '<')
                out += "&lt;";
            else if (c == '>')
                out += "&gt;";
            else if (c == '&')
                out += "&amp;";
            else if (c == '\n')
                out += "<br>\n";
            else
                out += c;
        }
        out += "</p>\n</body></html>\n";
    }

    void Attachment(std::string& out, const std::string& boundary) {
        const auto type = random_.Below(std::size(kAttachmentTypes));
        const std::string name = std::string(random_.Pick(kAttachmentNames)) + "-" +
                                 std::to_string(random_.Below(100)) + kAttachmentExts[type];
        const std::size_t size = random_.Between(1024, 100 * 1024);
        out += "--" + boundary + "\n";
        out += "Content-Type: " + std::string(kAttachmentTypes[type]) + "; name=\"" + name + "\"\n";
        out += "Content-Disposition: attachment; filename=\"" + name + "\"\n";
        out += "Content-Transfer-Encoding: base64\n\n";
        attachment_.resize(size + 8);
        for (std::size_t i = 0; i < size; i += 8) {
            const std::uint64_t v = random_.Next();
            std::memcpy(&attachment_[i], &v, 8);
        }
        for (std::size_t i = 0; i < size; i += 57) {
            Base64Append(out, attachment_.data() + i, std::min<std::size_t>(57, size - i));
            out += '\n';
        }
        out += '\n';
    }

    // One whole message, separator line first, ending with a blank line.
    void Message(std::string& out, std::uint64_t number, bool withAttachment) {
        time_ += static_cast<std::int64_t>(random_.Between(30, 4800));
        const Person from = MakePerson();
        const Person to = MakePerson();
        const int zone = static_cast<int>(random_.Below(std::size(kZones)));
        const int language = random_.Chance(60) ? 0 : (random_.Chance(75) ? 1 : 2);
        char id[40];
        std::snprintf(id, sizeof id, "%016" PRIx64 ".%06" PRIu64, random_.Next(), number);
        const std::string domain = from.address.substr(from.address.find('@') + 1);

        out += "From " + from.address + " " + SeparatorDate(time_) + "\n";
        out += "Return-Path: <" + from.address + ">\n";
        const auto hops = random_.Between(1, 3);
        for (std::uint64_t h = 0; h < hops; ++h) {
            char received[256];
            std::snprintf(
                received, sizeof received,
                "Received: from mx%d.%s (mx%d.%s [192.0.2.%d])\n\tby in%d.%s with ESMTPS id "
                "%012" PRIx64 "\n\tfor <%s>; %s\n",
                static_cast<int>(h + 1), domain.c_str(), static_cast<int>(h + 1), domain.c_str(),
                static_cast<int>(random_.Between(1, 254)), static_cast<int>(random_.Below(9)),
                kDomains[random_.Below(std::size(kDomains))], random_.Next() >> 16,
                to.address.c_str(), HeaderDate(time_ - static_cast<std::int64_t>(h), zone).c_str());
            out += received;
        }
        out += "Date: " + HeaderDate(time_ - 5, zone) + "\n";
        out += "From: " + Mailbox(from) + "\n";
        out += "To: " + Mailbox(to) + "\n";
        if (random_.Chance(20))
            out += "Cc: " + Mailbox(MakePerson()) + ",\n " + Mailbox(MakePerson()) + "\n";
        out += "Subject: " + Subject() + "\n";
        out += "Message-ID: <" + std::string(id) + "@" + domain + ">\n";
        if (random_.Chance(30)) {
            char ref[40];
            std::snprintf(ref, sizeof ref, "%016" PRIx64, random_.Next());
            out += "In-Reply-To: <" + std::string(ref) + "@" + domain + ">\n";
            out += "References: <" + std::string(ref) + "@" + domain + ">\n";
        }
        if (random_.Chance(40)) out += "User-Agent: " + std::string(random_.Pick(kAgents)) + "\n";
        out += "MIME-Version: 1.0\n";

        std::string text;
        TextBody(text, language, from);
        const bool html = random_.Chance(15);
        const std::string boundary = "=_part_" + std::string(id);
        if (!withAttachment && !html) {
            out += "Content-Type: text/plain; charset=\"utf-8\"\n";
            out += "Content-Transfer-Encoding: 8bit\n\n";
            out += text;
        } else {
            const std::string inner = "=_alt_" + std::string(id);
            out += withAttachment
                       ? "Content-Type: multipart/mixed;\n boundary=\"" + boundary + "\"\n"
                       : "Content-Type: multipart/alternative;\n boundary=\"" + boundary + "\"\n";
            out += "\nThis is a multi-part message in MIME format.\n\n";
            if (withAttachment && html) {
                out += "--" + boundary + "\nContent-Type: multipart/alternative;\n boundary=\"" +
                       inner + "\"\n\n";
            }
            const std::string& textBoundary = (withAttachment && html) ? inner : boundary;
            out += "--" + textBoundary + "\nContent-Type: text/plain; charset=\"utf-8\"\n";
            out += "Content-Transfer-Encoding: 8bit\n\n" + text + "\n";
            if (html) {
                out += "--" + textBoundary + "\nContent-Type: text/html; charset=\"utf-8\"\n";
                out += "Content-Transfer-Encoding: 8bit\n\n";
                HtmlOf(out, text);
                out += "\n";
                if (withAttachment) out += "--" + inner + "--\n\n";
            }
            if (withAttachment) Attachment(out, boundary);
            out += "--" + boundary + "--\n";
        }
        out += '\n';
    }

    Random& random() { return random_; }

private:
    Random random_;
    std::int64_t time_ = 1546300800;  // 2019-01-01 00:00:00 UTC
    std::vector<unsigned char> attachment_;
};

std::uint64_t ParseSize(const char* text, bool& ok) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    ok = errno == 0 && end != text;
    std::uint64_t scale = 1;
    if (ok && *end) {
        switch (*end) {
            case 'K':
            case 'k':
                scale = 1ULL << 10;
                break;
            case 'M':
            case 'm':
                scale = 1ULL << 20;
                break;
            case 'G':
            case 'g':
                scale = 1ULL << 30;
                break;
            default:
                ok = false;
        }
        if (end[1] != '\0') ok = false;
    }
    return value * scale;
}

int Usage() {
    std::fputs(
        "usage: gen_mbox [--seed N] [--messages N] [--size BYTES[K|M|G]] OUTPUT\n"
        "Writes a deterministic MBOX file (default: seed 1, 40000 messages, 500M)\n"
        "and prints messages, bytes, largest_message and checksum.\n",
        stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t seed = 1;
    std::uint64_t messages = 40000;
    std::uint64_t target = 500ULL << 20;
    const char* outputPath = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        bool ok = true;
        if ((arg == "--seed" || arg == "--messages" || arg == "--size") && i + 1 < argc) {
            const std::uint64_t value = ParseSize(argv[++i], ok);
            if (arg == "--seed")
                seed = value;
            else if (arg == "--messages")
                messages = value;
            else
                target = value;
        } else if (arg == "--help" || arg == "-h") {
            Usage();
            return 0;
        } else if (!arg.empty() && arg[0] != '-' && !outputPath) {
            outputPath = argv[i];
        } else {
            ok = false;
        }
        if (!ok) return Usage();
    }
    if (!outputPath || messages == 0) return Usage();

    std::FILE* file = std::fopen(outputPath, "wb");
    if (!file) {
        std::fprintf(stderr, "gen_mbox: cannot create %s: %s\n", outputPath, std::strerror(errno));
        return 1;
    }
    Output out(file);
    MessageMaker maker(seed);

    // Attachments make up the size the text does not: each message gets one
    // with the probability that brings the rest of the file to the target.
    constexpr double kAttachmentBytes = (1024 + 100 * 1024) / 2.0 * 4 / 3 * 77 / 76 + 300;
    double plainAverage = 4000;  // bytes of a message without attachment, learnt as we go
    std::uint64_t plainCount = 0, plainBytes = 0, attached = 0, largest = 0;
    for (std::uint64_t n = 1; n <= messages; ++n) {
        const double left = static_cast<double>(target) - static_cast<double>(out.written());
        const double perMessage = left / static_cast<double>(messages - n + 1);
        const double p = std::clamp((perMessage - plainAverage) / kAttachmentBytes, 0.0, 1.0);
        const bool withAttachment =
            maker.random().ChanceOf(static_cast<std::uint64_t>(p * 4294967296.0));
        const std::size_t before = out.buffer().size();
        maker.Message(out.buffer(), n, withAttachment);
        const std::size_t size = out.buffer().size() - before;
        largest = std::max<std::uint64_t>(largest, size);
        if (withAttachment) {
            ++attached;
        } else {
            ++plainCount;
            plainBytes += size;
            plainAverage = static_cast<double>(plainBytes) / static_cast<double>(plainCount);
        }
        out.FlushIfFull();
    }
    out.Flush();
    if (std::fclose(file) != 0 || out.failed()) {
        std::fprintf(stderr, "gen_mbox: cannot write %s: %s\n", outputPath, std::strerror(errno));
        return 1;
    }
    std::printf("seed %" PRIu64 "\nmessages %" PRIu64 "\nattachments %" PRIu64 "\nbytes %" PRIu64
                "\nlargest_message %" PRIu64 "\nchecksum fnv1a64:%016" PRIx64 "\n",
                seed, messages, attached, out.written(), largest, out.hash());
    return 0;
}
