#pragma once
// A message being built: its properties, recipients and attachments. Nothing
// reaches the store until Save(); saving again replaces what was saved.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mapi/PropValue.h"
#include "mapi/format/MessageContent.h"
#include "mapi/pst/MessageStore.h"
#include "support/OutputFile.h"

namespace mailvane::msg {
class Sink;
}  // namespace mailvane::msg

namespace mailvane::mapi {

class Folder;
class MailItem;

// Properties by tag; setting a tag again replaces its value.
class PropertyBag {
public:
    // False when the value does not suit the tag's type.
    bool SetProperty(uint32_t tag, const PropValue& value);
    // The same, taking a binary or 8-bit string value's bytes.
    bool SetProperty(uint32_t tag, PropValue&& value);
    std::optional<PropValue> GetProperty(uint32_t tag) const;
    const pst::PropertyList& stored() const {
        Expand();
        return props_;
    }

    // The stored properties, taken: the bag holds none afterwards.
    pst::PropertyList TakeStored();

    // The named properties as set, for the store or the file that takes the
    // message to number.
    const std::vector<format::NamedProperty>& named() const { return named_; }

    // The tags stored() gives, without making a deferred recipient's
    // properties.
    std::vector<uint32_t> Tags() const;

protected:
    // Named properties are a message's: only a mail item sets them, as a
    // recipient or an attachment of a message file has none.
    bool SetNamed(std::string_view propertySet, bool byName, uint32_t lid, const std::string& name,
                  uint16_t type, const PropValue& value);
    std::vector<format::NamedProperty> TakeNamed() { return std::move(named_); }

    // A recipient added by name and address keeps only those until one of
    // its properties is asked for or it is saved: the ten that follow from
    // them took about 1 KB a recipient, and a message may list 300,000.
    void Defer(const std::string& name, const std::string& address, int32_t type);

private:
    // Replaces any property of the same id; true.
    bool Put(pst::Property p);
    bool AddNamed(format::NamedProperty named, const PropValue& value);
    // Makes a deferred recipient's properties, once. Const, as reading a
    // property makes them: they are what the bag holds all along.
    void Expand() const;

    mutable pst::PropertyList props_;
    uint64_t idsSet_ = 0;  // bit (id % 64) of every id in props_, and more
    std::vector<format::NamedProperty> named_;
    mutable std::string deferred_;  // type, name length, name, address
};

class Recipient : public PropertyBag {
    friend class MailItem;
};

class Attachment : public PropertyBag {
public:
    // Attaches bytes by value (method 1) under this file name.
    void SetFile(const std::string& fileName, std::string bytes);
    // Makes this attachment an embedded message (method 5) and returns it.
    MailItem& EmbeddedMessage();

private:
    friend class MailItem;
    std::shared_ptr<MailItem> embedded_;
};

class MailItem : public PropertyBag {
public:
    explicit MailItem(Folder* folder = nullptr) : folder_(folder) {}

    // A named property: a property set ("{xxxxxxxx-xxxx-...}") with a number
    // or a name, and the property type. Its id is given by the store when
    // the item is saved, or by the message file it is written as. False for
    // a malformed set or an unsuitable value. Names in PS_INTERNET_HEADERS
    // are header names: kept in lower case, so that any spelling sets the
    // same property.
    bool SetNamedProperty(std::string_view propertySet, uint32_t lid, uint16_t type,
                          const PropValue& value) {
        return SetNamed(propertySet, false, lid, {}, type, value);
    }
    bool SetNamedProperty(std::string_view propertySet, const std::string& name, uint16_t type,
                          const PropValue& value) {
        return SetNamed(propertySet, true, 0, name, type, value);
    }

    Recipient& AddRecipient();
    // A recipient with the usual properties: type 1 To, 2 Cc, 3 Bcc. With
    // an SMTP address the row gets a one-off entry id, which is also its
    // record key; with an empty address it is a row that shows the name
    // but cannot be replied to (no entry id, no record key).
    Recipient& AddRecipient(const std::string& name, const std::string& address, int32_t type);
    Attachment& AddAttachment();
    size_t recipientCount() const { return recipients_.size(); }
    size_t attachmentCount() const { return attachments_.size(); }

    // Commits the item to its folder; returns the empty string or the cause.
    // An item the store cannot hold (see pst::MessageStore::AddMessage) is
    // not saved, and the store takes later items as before.
    std::string Save();
    // Commits the item as Save() does, handing its values over to the
    // store rather than copying them (attachments and bodies are most of a
    // message): afterwards the item holds no properties, recipients or
    // attachments. For an item that is not read again.
    std::string SaveAndRelease();
    bool saved() const { return nid_ != 0; }

    // What Save() and WriteMsg() write; named properties stay named for the
    // store or the file to number.
    format::MessageContent Content() const;

    // Writes the item as an Outlook message file (`type` 3, the only type
    // there is), saved into a store or not: the same properties a store
    // gets. The file appears whole under its name or not at all (a file of
    // that name is replaced); returns the empty string or the cause. Each
    // call opens the folder anew, clearing what killed runs left there.
    std::string SaveAs(const std::filesystem::path& path, int type = 3) const;
    // The same into a folder the caller holds open, for many files; with
    // CreateMode::Exclusive an existing file of that name fails the call.
    std::string SaveAs(const OutputFolder& folder, const std::string& name,
                       CreateMode mode = CreateMode::Replace) const;
    // The message file's bytes into memory or an open file (see msg::Sink).
    std::string WriteMsg(const msg::Sink& sink) const;
    // The same, handing the item's values over to the writer rather than
    // copying them: afterwards the item holds no properties, recipients or
    // attachments. For an item that is not read again.
    std::string WriteMsgAndRelease(const msg::Sink& sink);

private:
    format::MessageContent TakeContent();

    Folder* folder_;
    pst::Nid nid_ = 0;
    std::vector<std::unique_ptr<Recipient>> recipients_;
    std::vector<std::unique_ptr<Attachment>> attachments_;
};

// Sets one property and, when `save` is true, saves the item at once.
std::string HrSetOneProp(MailItem& item, uint32_t tag, const PropValue& value, bool save);

}  // namespace mailvane::mapi
