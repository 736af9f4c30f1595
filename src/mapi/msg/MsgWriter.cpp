#include "mapi/msg/MsgWriter.h"

#include <chrono>
#include <deque>
#include <random>

#include "mapi/PropTags.h"
#include "mapi/format/Coding.h"
#include "mapi/format/FileTime.h"
#include "mapi/msg/NameIdMap.h"
#include "mapi/msg/PropertyStream.h"

namespace mailvane::msg {

using namespace format;

using namespace mailvane::mapi;

namespace {

// {00020D0B-0000-0000-C000-000000000046}, the class of Outlook's message files.
constexpr std::string_view kMessageClsid{
    "\x0B\x0D\x02\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46", 16};
constexpr uint32_t PidTagStoreSupportMask = 0x340D0003;
// STORE_UNICODE_OK (0x00040000) with the other bits Outlook sets on the
// message files it saves.
constexpr uint32_t kStoreSupportMask = 0x00040E79;
// An embedded message's entry has no size, and 1 in its reserved word.
constexpr uint32_t kObjectSize = 0xFFFFFFFF;
constexpr uint32_t kEmbeddedMessageMark = 1;
// In a store an embedded message's attachment holds the message's node id
// and size (8 bytes) in PidTagAttachDataObject.
constexpr uint64_t kObjectReferenceSize = 8;
constexpr int32_t kNoRenderingPosition = -1;
// What a message gets when it names no code page or locale (see
// CompleteMessage): UTF-8 and US English.
constexpr uint32_t kDefaultCodepage = 65001;
constexpr uint32_t kDefaultLocale = 1033;

constexpr char kPropertyStream[] = "__properties_version1.0";
constexpr char kNameIdStorage[] = "__nameid_version1.0";

// A fixed-width value of 4 or 8 bytes.
std::string Le(uint64_t v, int bytes) {
    std::string out;
    if (bytes == 8)
        PutFixed64(&out, v);
    else
        PutFixed32(&out, static_cast<uint32_t>(v));
    return out;
}

std::string NumberedName(const char* prefix, size_t index) {
    std::string name = prefix;
    AppendHex8(&name, static_cast<uint32_t>(index));
    return name;
}

// One object's properties as written: the caller's, and what the file adds
// or fills in (bytes of its own, kept here).
class PropertyList {
public:
    explicit PropertyList(const std::vector<Property>& props) : props_(props) {}

    const Property* Find(uint32_t tag) const {
        for (const auto& p : props_)
            if (p.tag == tag) return &p;
        return nullptr;
    }
    // Replaces any property of the same id.
    void Set(uint32_t tag, std::string bytes) {
        owned_.push_back(std::move(bytes));
        for (auto& p : props_)
            if ((p.tag >> 16) == (tag >> 16)) {
                p = {tag, owned_.back()};
                return;
            }
        props_.push_back({tag, owned_.back()});
    }
    void SetIfAbsent(uint32_t tag, std::string bytes) {
        for (const auto& p : props_)
            if ((p.tag >> 16) == (tag >> 16)) return;
        Set(tag, std::move(bytes));
    }
    uint32_t LongOr(uint32_t tag, uint32_t fallback) const {
        const Property* p = Find(tag);
        return p && p->value.size() == 4 ? DecodeFixed32(p->value.data()) : fallback;
    }
    uint64_t ValueBytes() const {
        uint64_t size = 0;
        for (const auto& p : props_) size += p.value.size();
        return size;
    }
    const std::vector<Property>& props() const { return props_; }

private:
    std::vector<Property> props_;
    std::deque<std::string> owned_;  // a deque: views of it stay valid
};

uint32_t Clamp32(uint64_t v) {
    return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v);
}

class Writer {
public:
    std::string WriteFile(const Message& message, const Sink& sink) {
        const Property* modified = nullptr;
        for (const auto& p : message.props)
            if (p.tag == PidTagLastModificationTime && p.value.size() == 8) modified = &p;
        // Storages carry the message's own time, so the same message gives
        // the same file.
        // Every limit is checked before the first byte goes to the sink.
        if (std::string cause = PastLimits(message, 0); !cause.empty()) return cause;
        CompoundWriter file(sink, kMessageClsid,
                            modified ? DecodeFixed64(modified->value.data()) : FileTimeNow());
        file.Reserve(EstimatedSize(message));
        {
            Storage root = file.Root();
            WriteMessage(root, message, StreamOwner::kTopMessage);
            if (!error_.empty()) return error_;
            Storage nameIds = root.AddStorage(kNameIdStorage);
            for (const auto& [name, bytes] : names_.Streams()) nameIds.AddStream(name, bytes);
        }
        return file.Finish();
    }

private:
    // About the bytes of the file: its values, a directory entry, a
    // property entry and padding for each, and the file's own tables.
    static uint64_t EstimatedSize(const Message& m) {
        constexpr uint64_t kPerValue = kDirectoryEntrySize + PropertyEntry::kEncodedLength + 64;
        uint64_t size = 4 * kSectorSize;
        const auto add = [&](const PropertyObject& o) {
            for (const auto& p : o.props) size += p.value.size() + kPerValue;
            for (const auto& n : o.named) size += n.value.size() + kPerValue;
        };
        add(m);
        for (const auto& r : m.recipients) add(r);
        for (const auto& a : m.attachments) {
            add(a);
            if (a.embedded) size += EstimatedSize(*a.embedded);
        }
        return size;
    }

    // Why the message and those embedded in it do not fit a message file,
    // or the empty string.
    static std::string PastLimits(const Message& m, int depth) {
        if (depth > kMaxEmbeddingDepth)
            return "embedded messages are nested more than " + std::to_string(kMaxEmbeddingDepth) +
                   " deep";
        if (std::string cause = CountsPastLimits(m.recipients.size(), m.attachments.size());
            !cause.empty())
            return cause;
        for (const auto& a : m.attachments)
            if (a.embedded)
                if (std::string cause = PastLimits(*a.embedded, depth + 1); !cause.empty())
                    return cause;
        return {};
    }

    void WriteMessage(Storage& storage, const Message& m, StreamOwner owner) {
        const size_t recipients = m.recipients.size();
        PropertyList props(m.props);
        CompleteMessage(m, &props);
        StreamHeader header;
        header.recipientCount = header.nextRecipientId = static_cast<uint32_t>(recipients);
        header.attachmentCount = header.nextAttachmentId =
            static_cast<uint32_t>(m.attachments.size());
        WriteProperties(storage, owner, header, props.props(), m.named, {});

        for (size_t i = 0; i < recipients && error_.empty(); ++i) {
            Storage r = storage.AddStorage(NumberedName("__recip_version1.0_#", i));
            PropertyList rp(m.recipients[i].props);
            CompleteRecipient(i, &rp);
            WriteProperties(r, StreamOwner::kRecipientOrAttachment, {}, rp.props(),
                            m.recipients[i].named, {});
        }
        for (size_t i = 0; i < m.attachments.size() && error_.empty(); ++i) {
            const Attachment& a = m.attachments[i];
            Storage s = storage.AddStorage(NumberedName("__attach_version1.0_#", i));
            PropertyList ap(a.props);
            CompleteAttachment(a, i, &ap);
            std::vector<PropertyEntry> object;
            if (a.embedded)
                object.push_back(PropertyEntry::Sized(PidTagAttachDataObject, kObjectSize,
                                                      kEmbeddedMessageMark));
            WriteProperties(s, StreamOwner::kRecipientOrAttachment, {}, ap.props(), a.named,
                            object);
            if (a.embedded) {
                Storage inner = s.AddStorage(SubstreamName(PidTagAttachDataObject));
                WriteMessage(inner, *a.embedded, StreamOwner::kEmbeddedMessage);
            }
        }
    }

    // What a store fills in when it saves a message, so that the file and a
    // store get the same message; and the mark of a Unicode file.
    void CompleteMessage(const Message& m, PropertyList* props) {
        uint32_t flags = props->LongOr(PidTagMessageFlags, MSGFLAG_READ) & ~MSGFLAG_HASATTACH;
        if (!m.attachments.empty()) flags |= MSGFLAG_HASATTACH;
        props->Set(PidTagMessageFlags, Le(flags, 4));
        props->SetIfAbsent(PidTagSearchKey, Le(Keys()(), 8) + Le(Keys()(), 8));
        props->SetIfAbsent(PidTagMessageStatus, Le(0, 4));
        props->SetIfAbsent(PidTagCreationTime, Le(FileTimeNow(), 8));
        props->SetIfAbsent(PidTagLastModificationTime, Le(FileTimeNow(), 8));
        // The code page readers take the message's 8-bit text in: the one
        // its body came in, else UTF-8, the form the item keeps such text in.
        props->SetIfAbsent(PidTagMessageCodepage,
                           Le(props->LongOr(PidTagInternetCodepage, kDefaultCodepage), 4));
        props->SetIfAbsent(PidTagMessageLocaleId, Le(kDefaultLocale, 4));
        if (!props->Find(PidTagMessageSize)) {
            uint64_t size = props->ValueBytes();
            for (const auto& a : m.attachments)
                for (const auto& p : a.props) size += p.value.size();
            props->Set(PidTagMessageSize, Le(Clamp32(size), 4));
        }
        props->Set(PidTagStoreSupportMask, Le(kStoreSupportMask, 4));
    }

    // Outlook numbers each recipient's row and gives it a key unique in the
    // message; its counter reads as a big-endian number.
    static void CompleteRecipient(size_t index, PropertyList* props) {
        props->Set(PidTagRowid, Le(index, 4));
        const auto key = static_cast<uint32_t>(index);
        props->Set(PidTagInstanceKey, {static_cast<char>(key >> 24), static_cast<char>(key >> 16),
                                       static_cast<char>(key >> 8), static_cast<char>(key)});
        props->SetIfAbsent(PidTagObjectType, Le(MAPI_MAILUSER, 4));
    }

    void CompleteAttachment(const Attachment& a, size_t index, PropertyList* props) {
        props->SetIfAbsent(PidTagRenderingPosition,
                           Le(static_cast<uint32_t>(kNoRenderingPosition), 4));
        uint64_t embeddedSize = 0;
        if (a.embedded) {
            PropertyList inner(a.embedded->props);
            // Outlook names an embedded message after its subject.
            if (const Property* subject = inner.Find(PidTagSubject)) {
                props->SetIfAbsent(PidTagDisplayName, std::string(subject->value));
                props->SetIfAbsent(PidTagAttachFilename, std::string(subject->value));
            }
            if (!inner.Find(PidTagMessageSize)) CompleteMessage(*a.embedded, &inner);
            embeddedSize = inner.LongOr(PidTagMessageSize, 0);
        }
        // The size a store gives it: its properties, an embedded message's
        // reference and size, and four bytes; the file's own numbering
        // below is not counted.
        if (!props->Find(PidTagAttachSize)) {
            const uint64_t object = a.embedded ? kObjectReferenceSize + embeddedSize : 0;
            props->Set(PidTagAttachSize, Le(Clamp32(props->ValueBytes() + 4 + object), 4));
        }
        props->Set(PidTagAttachNumber, Le(index, 4));
        // An attachment's record key is its number, as Outlook writes it.
        props->Set(PidTagRecordKey, Le(index, 4));
        props->Set(PidTagObjectType, Le(MAPI_ATTACH, 4));
    }

    void WriteProperties(Storage& storage, StreamOwner owner, const StreamHeader& header,
                         const std::vector<Property>& props,
                         const std::vector<NamedProperty>& named,
                         const std::vector<PropertyEntry>& extra) {
        std::string stream;
        header.EncodeTo(owner, &stream);
        auto place = [&](uint32_t tag, std::string_view value) {
            // Object values are the writer's own (embedded messages).
            if ((tag & 0xFFFF) == PtypObject) return;
            PropertyEntry entry;
            std::vector<ValueStream> streams;
            std::string cause;
            if (!PlaceProperty(tag, value, &entry, &streams, &cause)) return Fail(cause);
            entry.EncodeTo(&stream);
            for (const auto& s : streams) storage.AddStream(s.name(), s.bytes());
        };
        for (const auto& p : props) place(p.tag, p.value);
        for (const auto& n : named) {
            const uint16_t id =
                n.byName ? names_.IdFor(n.propertySet, n.name) : names_.IdFor(n.propertySet, n.lid);
            if (id == 0) return Fail("a named property has no property set, or ids ran out");
            place((uint32_t{id} << 16) | n.type, n.value);
        }
        for (const auto& e : extra) e.EncodeTo(&stream);
        storage.AddStream(kPropertyStream, stream);
    }

    void Fail(const std::string& cause) {
        if (error_.empty()) error_ = cause;
    }

    NameIdMap names_;
    std::string error_;
    // Seeded once per thread: opening the random device for every message
    // cost more than writing a small message file.
    static std::mt19937_64& Keys() {
        thread_local std::mt19937_64 keys{std::random_device{}()};
        return keys;
    }
};

}  // namespace

std::string CountsPastLimits(size_t recipients, size_t attachments) {
    if (recipients > kMaxRecipients)
        return "a message file holds at most " + std::to_string(kMaxRecipients) +
               " recipients, this message has " + std::to_string(recipients);
    if (attachments > kMaxAttachments)
        return "a message file holds at most " + std::to_string(kMaxAttachments) +
               " attachments, this message has " + std::to_string(attachments);
    return {};
}

std::string WriteMsg(const Message& message, const Sink& sink) {
    return Writer().WriteFile(message, sink);
}

}  // namespace mailvane::msg
