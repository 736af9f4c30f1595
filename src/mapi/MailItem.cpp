#include "mapi/MailItem.h"

#include <algorithm>

#include "mapi/Folder.h"
#include "mapi/Store.h"
#include "mapi/format/Coding.h"
#include "mapi/format/NameTable.h"
#include "mapi/format/PropTags.h"
#include "mapi/format/Text.h"
#include "mapi/msg/MsgWriter.h"

namespace mailvane::mapi {
namespace {

// A one-off entry id: the address itself, in the form mail clients use to
// reply to a recipient that is in no address book.
std::string OneOffEntryId(const std::string& name, const std::string& type,
                          const std::string& address) {
    static const char kOneOffProvider[16] = {'\x81', '\x2B', '\x1F', '\xA4', '\xBE', '\xA3',
                                             '\x10', '\x19', '\x9D', '\x6E', '\x00', '\xDD',
                                             '\x01', '\x0F', '\x54', '\x02'};
    std::string id(4, '\0');
    id.append(kOneOffProvider, 16);
    id.append("\0\0", 2);      // version
    id.append("\x01\x80", 2);  // Unicode strings, no rich text
    for (const std::string* s : {&name, &type, &address}) {
        id += format::Utf16FromUtf8(*s);
        id.append("\0\0", 2);
    }
    return id;
}

std::string SearchKey(const std::string& type, const std::string& address) {
    std::string key = type + ":" + address;
    for (char& c : key)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return key + '\0';
}

// The properties of a recipient of this name, address and type.
void SetRecipient(PropertyBag& r, const std::string& name, const std::string& address,
                  int32_t type) {
    r.SetProperty(PidTagDisplayName, name);
    r.SetProperty(PidTagRecipientType, type);
    r.SetProperty(PidTagObjectType, MAPI_MAILUSER);
    r.SetProperty(PidTagDisplayType, int32_t{0});
    r.SetProperty(PidTagRecipientFlags, recipSendable);
    // Internet mail is sent as MIME, never as rich text.
    r.SetProperty(PidTagSendRichInfo, false);
    // Nothing to key the row by: Outlook gives a row without a one-off
    // entry id no record key.
    if (address.empty()) return;
    r.SetProperty(PidTagEmailAddress, address);
    r.SetProperty(PidTagAddressType, std::string("SMTP"));
    r.SetProperty(PidTagSmtpAddress, address);
    Binary entryId{OneOffEntryId(name, "SMTP", address)};
    // Outlook keys the rows of the Internet mail it receives by their
    // entry ids.
    r.SetProperty(PidTagRecordKey, entryId);
    r.SetProperty(PidTagEntryId, std::move(entryId));
    r.SetProperty(PidTagSearchKey, Binary{SearchKey("SMTP", address)});
}

}  // namespace

void PropertyBag::Defer(const std::string& name, const std::string& address, int32_t type) {
    deferred_.clear();
    format::PutFixed32(&deferred_, static_cast<uint32_t>(type));
    format::PutFixed32(&deferred_, static_cast<uint32_t>(name.size()));
    deferred_ += name;
    deferred_ += address;
}

void PropertyBag::Expand() const {
    if (deferred_.empty()) return;
    const auto type = static_cast<int32_t>(format::DecodeFixed32(deferred_.data()));
    const size_t nameSize = format::DecodeFixed32(deferred_.data() + 4);
    const std::string name = deferred_.substr(8, nameSize);
    const std::string address = deferred_.substr(8 + nameSize);
    // Emptied first: setting the properties must not expand it again.
    std::string().swap(deferred_);
    SetRecipient(const_cast<PropertyBag&>(*this), name, address, type);
    props_.shrink_to_fit();
}

std::vector<uint32_t> PropertyBag::Tags() const {
    std::vector<uint32_t> tags;
    if (!deferred_.empty()) {
        // Those of any recipient with an address, or with none.
        PropertyBag like;
        const bool address = deferred_.size() > 8 + format::DecodeFixed32(deferred_.data() + 4);
        SetRecipient(like, "", address ? "a" : "", 1);
        for (const auto& p : like.props_) tags.push_back(p.tag);
        return tags;
    }
    for (const auto& p : props_) tags.push_back(p.tag);
    return tags;
}

bool PropertyBag::SetProperty(uint32_t tag, const PropValue& value) {
    pst::Property p;
    if (!ToStored(tag, value, &p)) return false;
    return Put(std::move(p));
}

bool PropertyBag::SetProperty(uint32_t tag, PropValue&& value) {
    pst::Property p;
    if (!ToStored(tag, std::move(value), &p)) return false;
    return Put(std::move(p));
}

bool PropertyBag::Put(pst::Property p) {
    Expand();
    const uint32_t id = pst::PropIdOf(p.tag);
    // Most properties are set once: a bit per id (modulo 64) tells most new
    // ones from those set before without a search through all of them.
    const uint64_t bit = uint64_t{1} << (id % 64);
    if (idsSet_ & bit)
        for (auto& q : props_)
            if (pst::PropIdOf(q.tag) == id) {
                q = std::move(p);
                return true;
            }
    idsSet_ |= bit;
    // Grown a few at a time, not doubled: an attachment has about ten, and
    // a message may have 100,000 attachments held until it is saved.
    if (props_.size() == props_.capacity()) props_.reserve(props_.empty() ? 10 : props_.size() + 4);
    props_.push_back(std::move(p));
    return true;
}

std::optional<PropValue> PropertyBag::GetProperty(uint32_t tag) const {
    Expand();
    for (const auto& q : props_)
        if (q.tag == tag) {
            PropValue v;
            if (FromStored(q, &v)) return v;
        }
    return std::nullopt;
}

bool PropertyBag::AddNamed(format::NamedProperty named, const PropValue& value) {
    if (named.set.empty()) return false;
    pst::Property stored;
    if (!ToStored(pst::MakeTag(0x8000, named.type), value, &stored)) return false;
    named.value = std::move(stored.value);
    for (auto& n : named_)
        if (n.set == named.set && n.byName == named.byName && n.lid == named.lid &&
            n.name == named.name) {
            n = std::move(named);
            return true;
        }
    named_.push_back(std::move(named));
    return true;
}

bool PropertyBag::SetNamed(std::string_view propertySet, bool byName, uint32_t lid,
                           const std::string& name, uint16_t type, const PropValue& value) {
    std::string set = pst::ParseGuid(propertySet);
    std::string inSet = byName ? format::NameTable::KeptName(set, name) : std::string();
    return AddNamed({std::move(set), byName, lid, std::move(inSet), type, {}}, value);
}

pst::PropertyList PropertyBag::TakeStored() {
    Expand();
    pst::PropertyList props = std::move(props_);
    props_.clear();
    return props;
}

void Attachment::SetFile(const std::string& fileName, std::string bytes) {
    SetProperty(PidTagAttachMethod, ATTACH_BY_VALUE);
    SetProperty(PidTagAttachFilename, fileName);
    SetProperty(PidTagAttachLongFilename, fileName);
    SetProperty(PidTagDisplayName, fileName);
    SetProperty(PidTagAttachDataBinary, Binary{std::move(bytes)});
}

MailItem& Attachment::EmbeddedMessage() {
    if (!embedded_) embedded_ = std::make_shared<MailItem>();
    SetProperty(PidTagAttachMethod, ATTACH_EMBEDDED_MSG);
    return *embedded_;
}

Recipient& MailItem::AddRecipient() {
    recipients_.push_back(std::make_unique<Recipient>());
    return *recipients_.back();
}

Recipient& MailItem::AddRecipient(const std::string& name, const std::string& address,
                                  int32_t type) {
    Recipient& r = AddRecipient();
    r.Defer(name, address, type);
    return r;
}

Attachment& MailItem::AddAttachment() {
    attachments_.push_back(std::make_unique<Attachment>());
    return *attachments_.back();
}

format::MessageContent MailItem::Content() const {
    format::MessageContent m;
    m.props = stored();
    m.named = named();
    for (const auto& r : recipients_) m.recipients.push_back(r->stored());
    for (const auto& a : attachments_) {
        format::AttachmentContent c;
        c.props = a->stored();
        if (a->embedded_)
            c.embedded = std::make_shared<format::MessageContent>(a->embedded_->Content());
        m.attachments.push_back(std::move(c));
    }
    return m;
}

format::MessageContent MailItem::TakeContent() {
    format::MessageContent m;
    m.named = TakeNamed();
    m.props = TakeStored();
    // Each recipient is made in full only as the writer takes it, and let
    // go then.
    auto& more = m.moreRecipients;
    more.count = recipients_.size();
    for (const auto& r : recipients_)
        for (uint32_t tag : r->Tags())
            if (std::find(more.tags.begin(), more.tags.end(), tag) == more.tags.end())
                more.tags.push_back(tag);
    more.take = [this](size_t i) {
        pst::PropertyList props = recipients_[i]->TakeStored();
        recipients_[i].reset();
        return props;
    };
    m.attachments.reserve(attachments_.size());
    // Each attachment let go once taken: what is left of 100,000 of them
    // would be held until the message is written. Not one holding a
    // message, whose recipients the writer takes from it later.
    for (auto& a : attachments_) {
        format::AttachmentContent c;
        c.props = a->TakeStored();
        if (a->embedded_)
            c.embedded = std::make_shared<format::MessageContent>(a->embedded_->TakeContent());
        m.attachments.push_back(std::move(c));
        if (!a->embedded_) a.reset();
    }
    return m;
}

std::string MailItem::SaveAndRelease() {
    if (!folder_) return "item belongs to no folder";
    Store& store = folder_->store();
    if (!store.status().empty()) return store.status();
    // The recipients, embedded messages' too, are taken while the store
    // writes the message, and let go after.
    std::string result = store.SaveItem(*folder_, TakeContent(), &nid_);
    recipients_.clear();
    attachments_.clear();
    return result;
}

std::string MailItem::Save() {
    if (!folder_) return "item belongs to no folder";
    Store& store = folder_->store();
    if (!store.status().empty()) return store.status();
    return store.SaveItem(*folder_, Content(), &nid_);
}

std::string MailItem::WriteMsg(const msg::Sink& sink) const {
    // Asked first, so that a message of 300,000 recipients is not copied
    // whole only to be refused.
    if (std::string cause = msg::CountsPastLimits(recipients_.size(), attachments_.size());
        !cause.empty())
        return cause;
    return msg::WriteMsg(Content(), sink);
}

std::string MailItem::WriteMsgAndRelease(const msg::Sink& sink) {
    if (std::string cause = msg::CountsPastLimits(recipients_.size(), attachments_.size());
        !cause.empty())
        return cause;
    format::MessageContent m = TakeContent();
    // A message file holds few enough recipients to take them all at once.
    for (size_t i = 0; i < m.moreRecipients.count; ++i)
        m.recipients.push_back(m.moreRecipients.take(i));
    m.moreRecipients = {};
    const std::string cause = msg::WriteMsg(std::move(m), sink);
    recipients_.clear();
    attachments_.clear();
    return cause;
}

std::string MailItem::SaveAs(const OutputFolder& folder, const std::string& name,
                             CreateMode mode) const {
    std::string bytes;
    if (std::string cause = WriteMsg(msg::Sink::Memory(&bytes)); !cause.empty()) return cause;
    return folder.WriteWholeFile(name, {bytes}, mode);
}

std::string MailItem::SaveAs(const std::filesystem::path& path, int type) const {
    constexpr int kMessageFile = 3;
    if (type != kMessageFile)
        return "file type " + std::to_string(type) + " is not an Outlook message file (3)";
    OutputFolder folder;
    const std::filesystem::path parent = path.has_parent_path() ? path.parent_path() : ".";
    if (std::string cause = folder.Open(parent); !cause.empty())
        return parent.string() + ": " + cause;
    if (std::string cause = SaveAs(folder, path.filename().string()); !cause.empty())
        return path.string() + ": " + cause;
    return {};
}

std::string HrSetOneProp(MailItem& item, uint32_t tag, const PropValue& value, bool save) {
    if (!item.SetProperty(tag, value)) return "value does not suit the property type";
    return save ? item.Save() : std::string();
}

}  // namespace mailvane::mapi
