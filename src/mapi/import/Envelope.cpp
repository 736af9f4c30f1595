// Envelope properties of [MS-OXCMAIL] 2.2.3.1 and 2.2.3.2.
#include <algorithm>
#include <cctype>
#include <optional>
#include <vector>

#include "mapi/format/PropTags.h"
#include "mapi/import/Addresses.h"
#include "mapi/import/AsciiCase.h"
#include "mapi/import/Charsets.h"
#include "mapi/import/Dates.h"
#include "mapi/import/FieldList.h"
#include "mapi/import/HeaderText.h"
#include "mapi/import/Import.h"
#include "mapi/import/MailState.h"
#include "mapi/import/Names.h"

namespace mailvane::mapi::import {
namespace {

constexpr std::string_view kPsPublicStrings = "{00020329-0000-0000-C000-000000000046}";

struct Person {
    std::string name;
    std::string address;
    // The name readers show: the display name, else the address.
    const std::string& shown() const { return name.empty() ? address : name; }
};

// Header text on one line: a quoted name may keep its fold.
std::string OneLine(const char* text) {
    std::string out;
    for (const char* p = text ? text : ""; *p; ++p)
        if (*p != '\r' && *p != '\n') out += *p;
    return CleanUtf8(Trimmed(out));
}

void Flatten(InternetAddressList* list, std::vector<Person>* out) {
    if (!list) return;
    int count = internet_address_list_length(list);
    for (int i = 0; i < count; ++i) {
        InternetAddress* address = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_GROUP(address)) {
            Flatten(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)), out);
            continue;
        }
        const char* name = internet_address_get_name(address);
        const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address));
        Person p{OneLine(name), OneLine(addr)};
        if (!p.name.empty() || !p.address.empty()) out->push_back(std::move(p));
    }
}

// The mailboxes of an address list one by one, split where GMime would
// split them: at commas and semicolons outside quotes, comments and angle
// brackets; a group's name before its colon is dropped, its members kept.
std::vector<std::string_view> AddressItems(std::string_view list) {
    std::vector<std::string_view> items;
    auto end = [&](size_t start, size_t stop) {
        std::string_view item = list.substr(start, stop - start);
        if (!Trimmed(item).empty()) items.push_back(item);
    };
    size_t start = 0;
    bool quoted = false;
    bool angled = false;
    bool literal = false;  // a domain literal, "[2001:db8::1]"
    int comment = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        char c = list[i];
        if ((quoted || comment > 0) && c == '\\') {
            ++i;
        } else if (quoted) {
            quoted = c != '"';
        } else if (c == '(') {
            ++comment;
        } else if (comment > 0) {
            if (c == ')') --comment;
        } else if (c == '"') {
            quoted = true;
        } else if (literal) {
            literal = c != ']';
        } else if (c == '[') {
            literal = true;
        } else if (c == '<') {
            angled = true;
        } else if (c == '>') {
            angled = false;
        } else if (!angled && (c == ',' || c == ';' || c == ':')) {
            if (c != ':') end(start, i);
            start = i + 1;
        }
    }
    // An open quote, comment or bracket runs to the end of the field.
    if (start < list.size()) end(start, list.size());
    return items;
}

// A mailbox GMime gives up on, such as ". <ann@example.com>" (a name that
// starts with a special character): the address between the angle
// brackets, and the text before them as the name.
std::optional<Person> RecoverMailbox(std::string_view item, const std::string& charset) {
    size_t open = item.rfind('<');
    if (open == std::string_view::npos) return std::nullopt;
    size_t close = item.find('>', open);
    std::string address =
        Trimmed(item.substr(open + 1, close == item.npos ? close : close - open - 1));
    const std::string name = DecodePhrase(item.substr(0, open), charset);
    Person p{OneLine(name.c_str()), OneLine(address.c_str())};
    if (p.name.empty() && p.address.empty()) return std::nullopt;
    return p;
}

// Where a mailbox's angle-bracketed address starts, outside quotes and
// comments; npos for a bare address.
size_t AngleOpen(std::string_view item) {
    size_t open = std::string_view::npos;
    bool quoted = false;
    int comment = 0;
    for (size_t i = 0; i < item.size(); ++i) {
        const char c = item[i];
        if ((quoted || comment > 0) && c == '\\')
            ++i;
        else if (quoted)
            quoted = c != '"';
        else if (c == '(')
            ++comment;
        else if (comment > 0)
            comment -= c == ')';
        else if (c == '"')
            quoted = true;
        else if (c == '<')
            open = i;
    }
    return open;
}

// The name of one mailbox, read by our own header reader where GMime's
// would go wrong: encoded words (GMime cuts a run of them short) and raw
// 8-bit text (read in the message's charset). A bare address takes its
// comment as the name, "ann@example.com (Ann Lee)", but a comment that
// holds no letter, "(1)", names no one.
std::string MailboxName(std::string_view item, std::string gmimeName, const std::string& charset) {
    const size_t open = AngleOpen(item);
    std::string name = std::move(gmimeName);
    bool eightBit = false;
    for (char c : item) eightBit |= (c & 0x80) != 0;
    if (open != std::string_view::npos) {
        if (eightBit || item.substr(0, open).find("=?") != std::string_view::npos)
            name = OneLine(DecodePhrase(item.substr(0, open), charset).c_str());
        return name;
    }
    // A name with no address at all, "=?koi8-r?B?...?=": GMime leaves its
    // encoded words as they are.
    if (item.find('@') == std::string_view::npos)
        return OneLine(DecodePhrase(item, charset).c_str());
    const size_t comment = item.find('(');
    if (comment != std::string_view::npos && (eightBit || item.find("=?") != item.npos)) {
        const size_t close = item.rfind(')');
        std::string_view text = item.substr(
            comment + 1, close == item.npos || close < comment ? item.npos : close - comment - 1);
        name = OneLine(DecodeHeaderText(text, charset).c_str());
    }
    bool letter = false;
    for (char c : name) letter |= std::isalpha(static_cast<unsigned char>(c)) || (c & 0x80);
    return letter ? name : std::string();
}

// An address in the plain form nearly all mail uses: ASCII letters, digits
// and the other characters of an atom, one "@", dots only between them.
bool PlainAddress(std::string_view address) {
    const size_t at = address.find('@');
    if (at == std::string_view::npos || address.find('@', at + 1) != std::string_view::npos)
        return false;
    const auto plainPart = [](std::string_view part, std::string_view others) {
        if (part.empty() || part.front() == '.' || part.back() == '.' ||
            part.find("..") != std::string_view::npos)
            return false;
        return std::all_of(part.begin(), part.end(), [&](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' ||
                   others.find(c) != std::string_view::npos;
        });
    };
    return plainPart(address.substr(0, at), "!#$%&'*+/=?^_`{|}~") &&
           plainPart(address.substr(at + 1), "");
}

// The plain forms of a mailbox, read without GMime's address parser, which
// took a third of the envelope's time: "addr", "<addr>", "Name <addr>" and
// "\"Name\" <addr>", where the name is ASCII words (or encoded words) with
// single blanks between them and the address is plain. Everything else is
// left to GMime; on these forms both read the same.
std::optional<Person> PlainMailbox(std::string_view item, const std::string& charset) {
    const std::string text = Trimmed(item);
    if (text.empty()) return std::nullopt;
    if (text.back() != '>') {
        if (!PlainAddress(text)) return std::nullopt;
        return Person{{}, text};
    }
    const size_t open = text.rfind('<');
    if (open == std::string::npos) return std::nullopt;
    const std::string address = text.substr(open + 1, text.size() - open - 2);
    if (!PlainAddress(address)) return std::nullopt;
    std::string phrase = Trimmed(std::string_view(text).substr(0, open));
    const bool quoted = phrase.size() >= 2 && phrase.front() == '"' && phrase.back() == '"';
    std::string_view words = phrase;
    if (quoted) words = words.substr(1, words.size() - 2);
    const std::string_view specials = quoted ? "\"\\" : "\"\\()<>[]:;@,.";
    for (size_t i = 0; i < words.size(); ++i) {
        const char c = words[i];
        if (c < 0x20 || c > 0x7E || specials.find(c) != std::string_view::npos) return std::nullopt;
        if (c == ' ' && (i == 0 || i + 1 == words.size() || words[i + 1] == ' '))
            return std::nullopt;
    }
    if (phrase.find("=?") != std::string::npos)
        return Person{OneLine(DecodePhrase(phrase, charset).c_str()), address};
    return Person{std::string(words), address};
}

// Everyone named by every field of that name, in order, each handed to
// `visit` as read: a message may name 300,000 people.
template <typename Visit>
void ForEachPerson(const FieldList& fields, const char* field, GMimeParserOptions* options,
                   const std::string& charset, Visit visit) {
    for (std::string_view raw : fields.All(field)) {
        std::string value = Trimmed(Unfolded(raw));
        // One item at a time, so that a mailbox GMime cannot read costs
        // only itself.
        for (std::string_view item : AddressItems(value)) {
            if (std::optional<Person> plain = PlainMailbox(item, charset)) {
                visit(std::move(*plain));
                continue;
            }
            std::vector<Person> found;
            std::string text(item);
            if (InternetAddressList* list = internet_address_list_parse(options, text.c_str())) {
                Flatten(list, &found);
                g_object_unref(list);
            }
            if (found.size() == 1)
                found[0].name = MailboxName(item, std::move(found[0].name), charset);
            if (found.empty())
                if (std::optional<Person> p = RecoverMailbox(item, charset)) found.push_back(*p);
            for (Person& p : found) visit(std::move(p));
        }
    }
}

std::vector<Person> People(const FieldList& fields, const char* field, GMimeParserOptions* options,
                           const std::string& charset) {
    std::vector<Person> people;
    ForEachPerson(fields, field, options, charset,
                  [&](Person&& p) { people.push_back(std::move(p)); });
    return people;
}

struct PersonTags {
    uint32_t name, email, type, entryId, searchKey, smtp;
};
constexpr PersonTags kSender = {PidTagSenderName,        PidTagSenderEmailAddress,
                                PidTagSenderAddressType, PidTagSenderEntryId,
                                PidTagSenderSearchKey,   PidTagSenderSmtpAddress};
constexpr PersonTags kSentRepresenting = {
    PidTagSentRepresentingName,        PidTagSentRepresentingEmailAddress,
    PidTagSentRepresentingAddressType, PidTagSentRepresentingEntryId,
    PidTagSentRepresentingSearchKey,   PidTagSentRepresentingSmtpAddress};

void SetPerson(PropertyWriter& out, const Person& p, const PersonTags& tags) {
    out.SetText(tags.name, p.shown());
    if (p.address.empty()) return;
    out.SetText(tags.email, p.address);
    out.SetText(tags.type, "SMTP");
    out.SetText(tags.smtp, p.address);
    out.Set(tags.entryId, Binary{OneOffEntryId(p.shown(), "SMTP", p.address)});
    out.Set(tags.searchKey, Binary{AddressSearchKey("SMTP", p.address)});
}

std::string JoinShown(const std::vector<Person>& people) {
    std::string out;
    for (const Person& p : people) {
        if (!out.empty()) out += "; ";
        out += p.shown();
    }
    return out;
}

// A header's value as written (folds undone, trimmed), or "" when absent.
std::string RawHeader(const FieldList& fields, const char* name) {
    const std::optional<std::string_view> raw = fields.First(name);
    if (!raw) return {};
    return CleanUtf8(Trimmed(Unfolded(*raw)));
}

// A header's value as text: encoded words decoded, raw 8-bit bytes read
// in the message's charset; nothing when the field is absent.
std::optional<std::string> HeaderText(const FieldList& fields, const char* name,
                                      const std::string& charset) {
    const std::optional<std::string_view> raw = fields.First(name);
    if (!raw) return std::nullopt;
    return Trimmed(DecodeHeaderText(*raw, charset));
}

bool StartsWith(const std::string& s, std::string_view prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// The labels a user gave a Gmail message, without Gmail's own.
std::vector<std::string> UserLabels(std::string_view raw, const std::string& charset) {
    std::vector<std::string> labels = GmailLabels(raw, charset);
    labels.erase(std::remove_if(labels.begin(), labels.end(),
                                [](const std::string& label) { return IsGmailSystemLabel(label); }),
                 labels.end());
    return labels;
}

// Importance (0 low, 1 normal, 2 high) and priority (-1, 0, 1) from the
// priority fields; Importance: wins over the others.
void SetImportance(const FieldList& fields, PropertyWriter& out) {
    int importance = 1;
    int priority = 0;
    auto level = [&](int i) {
        importance = i;
        priority = i - 1;
    };
    std::string ms = AsciiLower(RawHeader(fields, "X-MSMail-Priority"));
    if (StartsWith(ms, "high")) level(2);
    if (StartsWith(ms, "low")) level(0);
    std::string x = RawHeader(fields, "X-Priority");
    if (!x.empty() && x[0] >= '1' && x[0] <= '5') level(x[0] <= '2' ? 2 : x[0] == '3' ? 1 : 0);
    std::string p = AsciiLower(RawHeader(fields, "Priority"));
    if (p == "urgent") level(2);
    if (p == "non-urgent") level(0);
    std::string i = AsciiLower(RawHeader(fields, "Importance"));
    if (i == "high") importance = 2;
    if (i == "normal") importance = 1;
    if (i == "low") importance = 0;
    out.Set(PidTagImportance, int32_t{importance});
    out.Set(PidTagPriority, int32_t{priority});
    std::string s = AsciiLower(RawHeader(fields, "Sensitivity"));
    int sensitivity = s == "personal"               ? 1
                      : s == "private"              ? 2
                      : s == "company-confidential" ? 3
                                                    : 0;
    out.Set(PidTagSensitivity, int32_t{sensitivity});
}

// Thread-Index when it is valid base64 of a conversation index; else a
// header block of our own: the submit time's high 40 bits and a GUID taken
// from the topic, so that one topic keeps one conversation.
std::string ConversationIndex(const FieldList& fields, const std::string& topic,
                              std::optional<FileTime> time) {
    std::string threadIndex = RawHeader(fields, "Thread-Index");
    if (!threadIndex.empty()) {
        gsize length = 0;
        guchar* decoded = g_base64_decode(threadIndex.c_str(), &length);
        std::string bytes(reinterpret_cast<const char*>(decoded), length);
        g_free(decoded);
        if (bytes.size() >= 22 && (bytes.size() - 22) % 5 == 0) return bytes;
    }
    std::string index(1, '\x01');
    uint64_t ticks = time ? time->ticks : 0;
    for (int shift = 56; shift >= 24; shift -= 8)
        index += static_cast<char>((ticks >> shift) & 0xFF);
    GChecksum* md5 = g_checksum_new(G_CHECKSUM_MD5);
    g_checksum_update(md5, reinterpret_cast<const guchar*>(topic.data()),
                      static_cast<gssize>(topic.size()));
    guint8 digest[16];
    gsize digestLength = sizeof digest;
    g_checksum_get_digest(md5, digest, &digestLength);
    g_checksum_free(md5);
    index.append(reinterpret_cast<const char*>(digest), digestLength);
    return index;
}

void SetRecipients(const FieldList& fields, GMimeParserOptions* options, const std::string& charset,
                   MailItem& item, PropertyWriter& out) {
    static const struct {
        const char* field;
        int32_t recipientType;
        uint32_t displayTag;
    } kKinds[] = {{"To", MAPI_TO, PidTagDisplayTo},
                  {"Cc", MAPI_CC, PidTagDisplayCc},
                  {"Bcc", MAPI_BCC, PidTagDisplayBcc}};
    for (const auto& kind : kKinds) {
        // A name with no address ("To: Fred") is a row a reader shows but
        // cannot reply to.
        std::string shown;
        bool any = false;
        ForEachPerson(fields, kind.field, options, charset, [&](Person&& p) {
            item.AddRecipient(p.shown(), p.address, kind.recipientType);
            shown += any ? "; " : "";
            shown += p.shown();
            any = true;
        });
        // As Outlook does: a message with no Cc has no PidTagDisplayCc, not
        // an empty one (an empty string in a contents-table row is a heap
        // id of 0, which Microsoft's own store library refuses).
        if (any) out.SetText(kind.displayTag, shown);
    }
}

}  // namespace

void SetEnvelope(const ParsedMessage& message, const RawMessage& raw, MailItem& item,
                 PropertyWriter& out) {
    const FieldList& fields = *message.fields;
    out.SetText(PidTagMessageClass, "IPM.Note");

    // Raw 8-bit text in the header is most likely in the charset the
    // body declares.
    const std::string charset = BodyCharset(message.root);
    const std::optional<std::string> subject = HeaderText(fields, "Subject", charset);
    std::string topic = HeaderText(fields, "Thread-Topic", charset).value_or("");
    if (subject) {
        const std::string& text = *subject;
        SubjectParts parts = SplitSubject(text);
        out.SetText(PidTagSubject, text);
        out.SetText(PidTagSubjectPrefix, parts.prefix);
        out.SetText(PidTagNormalizedSubject, parts.normalized);
        if (topic.empty()) topic = parts.normalized;
    }
    if (subject || !topic.empty()) out.SetText(PidTagConversationTopic, topic);

    const ParserOptions options = OwnedParserOptions();
    std::vector<Person> from = People(fields, "From", options.get(), charset);
    std::vector<Person> sender = People(fields, "Sender", options.get(), charset);
    if (from.empty()) from = sender;
    if (sender.empty()) sender = from;
    if (!from.empty()) SetPerson(out, from.front(), kSentRepresenting);
    if (!sender.empty()) SetPerson(out, sender.front(), kSender);

    SetRecipients(fields, options.get(), charset, item, out);

    std::vector<Person> replyTo = People(fields, "Reply-To", options.get(), charset);
    if (!replyTo.empty()) {
        std::vector<std::string> entries;
        for (const Person& p : replyTo)
            entries.push_back(OneOffEntryId(p.shown(), "SMTP", p.address));
        out.SetText(PidTagReplyRecipientNames, JoinShown(replyTo));
        out.Set(PidTagReplyRecipientEntries, Binary{FlatEntryList(entries)});
    }

    // Delivery: the newest Received field, else the separator line, else
    // the Date field; creation and modification follow it. A mail with no
    // date of its own was sent when it was delivered, as near as can be
    // told: a sent time of none shows as "None" in a reader's list.
    std::optional<FileTime> sent = ParseMailDate(RawHeader(fields, "Date"));
    std::optional<FileTime> delivered = ReceivedDate(RawHeader(fields, "Received"));
    if (!delivered) delivered = raw.separatorDate;
    if (!delivered) delivered = sent;
    if (!delivered) delivered = raw.undatedTime;
    if (!sent) sent = delivered;
    if (sent) out.Set(PidTagClientSubmitTime, *sent);
    if (delivered) {
        out.Set(PidTagMessageDeliveryTime, *delivered);
        out.Set(PidTagCreationTime, *delivered);
        out.Set(PidTagLastModificationTime, *delivered);
    }
    out.Set(PidTagConversationIndex,
            Binary{ConversationIndex(fields, topic, sent ? sent : delivered)});

    static const struct {
        const char* header;
        uint32_t tag;
    } kIds[] = {{"Message-ID", PidTagInternetMessageId},
                {"In-Reply-To", PidTagInReplyToId},
                {"References", PidTagInternetReferences}};
    for (const auto& id : kIds) {
        std::string value = RawHeader(fields, id.header);
        if (!value.empty()) out.SetText(id.tag, value);
    }
    SetImportance(fields, out);
    // A Gmail export's labels become the item's categories, which Outlook
    // shows and searches.
    if (const std::string labels = RawHeader(fields, "X-Gmail-Labels"); !labels.empty())
        if (std::vector<std::string> categories = UserLabels(labels, charset); !categories.empty())
            item.SetNamedProperty(kPsPublicStrings, std::string("Keywords"), PtypMultipleString,
                                  std::move(categories));
    if (fields.Has("Disposition-Notification-To")) out.Set(PidTagReadReceiptRequested, true);
    if (fields.Has("Return-Receipt-To")) out.Set(PidTagOriginatorDeliveryReportRequested, true);
    if (!raw.headerBlock.empty()) out.SetText(PidTagTransportMessageHeaders, raw.headerBlock);
}

}  // namespace mailvane::mapi::import
