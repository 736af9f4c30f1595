#include "mapi/msg/MsgWriter.h"

#include <chrono>
#include <random>

#include "mapi/format/Coding.h"
#include "mapi/format/FileTime.h"
#include "mapi/format/PropTags.h"
#include "mapi/format/SavedMessage.h"
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

constexpr char kPropertyStream[] = "__properties_version1.0";
constexpr char kNameIdStorage[] = "__nameid_version1.0";

std::string NumberedName(const char* prefix, size_t index) {
    std::string name = prefix;
    AppendHex8(&name, static_cast<uint32_t>(index));
    return name;
}

class Writer {
public:
    std::string WriteFile(MessageContent message, const Sink& sink) {
        // Every limit is checked before the first byte goes to the sink.
        if (std::string cause = PastLimits(message, 0); !cause.empty()) return cause;
        // Storages carry the message's own time, so the same message gives
        // the same file.
        const Property* modified = FindProperty(message.props, PidTagLastModificationTime);
        CompoundWriter file(sink, kMessageClsid,
                            modified && modified->value.size() == 8
                                ? DecodeFixed64(modified->value.data())
                                : FileTimeNow());
        file.Reserve(EstimatedSize(message));
        Complete(message);
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
    static uint64_t EstimatedSize(const MessageContent& m) {
        constexpr uint64_t kPerValue = kDirectoryEntrySize + PropertyEntry::kEncodedLength + 64;
        uint64_t size = 4 * kSectorSize;
        const auto add = [&](const PropertyList& props) {
            for (const auto& p : props) size += p.value.size() + kPerValue;
        };
        add(m.props);
        for (const auto& n : m.named) size += n.value.size() + kPerValue;
        for (const auto& r : m.recipients) add(r);
        for (const auto& a : m.attachments) {
            add(a.props);
            if (a.embedded) size += EstimatedSize(*a.embedded);
        }
        return size;
    }

    // Why the message and those embedded in it do not fit a message file,
    // or the empty string.
    static std::string PastLimits(const MessageContent& m, int depth) {
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

    // An embedded message is filled in before its attachment, whose size
    // counts the message's.
    // REQUIRES: Complete(m) was called.
    void WriteMessage(Storage& storage, MessageContent& m, StreamOwner owner) {
        const size_t recipients = m.recipients.size();
        StreamHeader header;
        header.recipientCount = header.nextRecipientId = static_cast<uint32_t>(recipients);
        header.attachmentCount = header.nextAttachmentId =
            static_cast<uint32_t>(m.attachments.size());
        WriteProperties(storage, owner, header, m.props, m.named, {});

        for (size_t i = 0; i < recipients && error_.empty(); ++i) {
            Storage r = storage.AddStorage(NumberedName("__recip_version1.0_#", i));
            CompleteRecipient(i, &m.recipients[i]);
            WriteProperties(r, StreamOwner::kRecipientOrAttachment, {}, m.recipients[i], {}, {});
        }
        for (size_t i = 0; i < m.attachments.size() && error_.empty(); ++i) {
            AttachmentContent& a = m.attachments[i];
            Storage s = storage.AddStorage(NumberedName("__attach_version1.0_#", i));
            if (a.embedded) {
                // Filled in where the caller cannot see it: the caller's
                // message may hold the embedded one too.
                if (a.embedded.use_count() > 1)
                    a.embedded = std::make_shared<MessageContent>(*a.embedded);
                Complete(*a.embedded);
            }
            CompleteAttachment(a, i);
            std::vector<PropertyEntry> object;
            if (a.embedded)
                object.push_back(PropertyEntry::Sized(PidTagAttachDataObject, kObjectSize,
                                                      kEmbeddedMessageMark));
            WriteProperties(s, StreamOwner::kRecipientOrAttachment, {}, a.props, {}, object);
            if (a.embedded) {
                Storage inner = s.AddStorage(SubstreamName(PidTagAttachDataObject));
                WriteMessage(inner, *a.embedded, StreamOwner::kEmbeddedMessage);
            }
        }
    }

    // What a store fills in when it saves a message, so that the file and a
    // store get the same message; and the mark of a Unicode file.
    static void Complete(MessageContent& m) {
        FillSavedMessage(&m, [] {
            std::string key;
            PutFixed64(&key, Keys()());
            PutFixed64(&key, Keys()());
            return key;
        });
        SetProperty(&m.props, LongProperty(PidTagStoreSupportMask, kStoreSupportMask));
    }

    // Outlook numbers each recipient's row and gives it a key unique in the
    // message; its counter reads as a big-endian number.
    static void CompleteRecipient(size_t index, PropertyList* props) {
        SetProperty(props, LongProperty(PidTagRowid, static_cast<uint32_t>(index)));
        const auto key = static_cast<uint32_t>(index);
        SetProperty(props, Property{PidTagInstanceKey,
                                    {static_cast<char>(key >> 24), static_cast<char>(key >> 16),
                                     static_cast<char>(key >> 8), static_cast<char>(key)}});
        SetPropertyIfAbsent(props, LongProperty(PidTagObjectType, MAPI_MAILUSER));
    }

    static void CompleteAttachment(AttachmentContent& a, size_t index) {
        EmbeddedSummary embedded;
        if (a.embedded) {
            if (const Property* subject = FindProperty(a.embedded->props, PidTagSubject))
                embedded.subject = &subject->value;
            embedded.size = LongOf(a.embedded->props, PidTagMessageSize, 0);
        }
        FillSavedAttachment(&a.props, a.embedded ? &embedded : nullptr);
        const auto number = static_cast<uint32_t>(index);
        SetProperty(&a.props, LongProperty(PidTagAttachNumber, number));
        // An attachment's record key is its number, as Outlook writes it.
        SetProperty(&a.props, LongProperty(PidTagRecordKey, number));
        SetProperty(&a.props, LongProperty(PidTagObjectType, MAPI_ATTACH));
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
            const uint16_t id = n.byName ? names_.IdFor(n.set, n.name) : names_.IdFor(n.set, n.lid);
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

std::string WriteMsg(MessageContent message, const Sink& sink) {
    return Writer().WriteFile(std::move(message), sink);
}

}  // namespace mailvane::msg
