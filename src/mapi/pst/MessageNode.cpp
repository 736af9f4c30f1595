// A message as one node of the store: its property context, its recipient
// and attachment tables as subnodes, each attachment a subnode of its own,
// embedded messages nested inside. Whatever limit of the format a message
// is past is found while it is built, before any of it is placed.
#include <algorithm>

#include "mapi/format/SavedMessage.h"
#include "mapi/pst/MessageStore.h"
#include "mapi/pst/PropertyContext.h"
#include "mapi/pst/StoreCommon.h"

namespace mailvane::pst {

using namespace format;
using namespace mailvane::mapi;  // tags by their documented names
using namespace store;
namespace {

// Attachment subnodes are numbered from 0x8025, as Outlook numbers them.
constexpr uint32_t kFirstAttachmentIndex = 0x8025 >> 5;

constexpr Nid kNidRecipientTableSub = kNidRecipientTableTemplate;    // 0x692
constexpr Nid kNidAttachmentTableSub = kNidAttachmentTableTemplate;  // 0x671

// Subjects are stored with the length of their prefix in front ("\1\5RE: x"
// for "RE: x"), as [MS-PST] 2.5.3.1.1.1 describes: readers take the marker
// for granted. The prefix is one to three characters, neither space nor
// digit, then a colon and any spaces.
std::string MarkSubject(const std::string& utf16) {
    auto unit = [&](size_t i) -> uint16_t { return DecodeFixed16(utf16.data() + 2 * i); };
    size_t n = utf16.size() / 2;
    if (n > 0 && unit(0) == 1) return utf16;
    size_t prefix = 0;
    for (size_t i = 0; i < n && i < 4; ++i) {
        uint16_t c = unit(i);
        if (c == ':' && i > 0) {
            size_t end = i + 1;
            while (end < n && unit(end) == ' ') ++end;
            prefix = end;
            break;
        }
        if (c == ' ' || (c >= '0' && c <= '9')) break;
    }
    std::string out;
    PutFixed16(&out, 1);
    PutFixed16(&out, static_cast<uint16_t>(prefix + 1));
    return out + utf16;
}

// A stored subject without the prefix-length marker MarkSubject adds.
std::string UnmarkedSubject(const std::string& utf16) {
    if (utf16.size() >= 4 && DecodeFixed16(utf16.data()) == 1) return utf16.substr(4);
    return utf16;
}

}  // namespace

std::string MessageStore::NewSearchKey() {
    std::string key;
    PutFixed64(&key, keySource_());
    PutFixed64(&key, keySource_());
    return key;
}

NodeContent MessageStore::BuildMessage(MessageContent m, uint32_t* nextIndex, PropertyList* stored,
                                       int depth, std::string* refused) {
    auto refuse = [&](std::string cause) {
        if (refused->empty()) *refused = std::move(cause);
        return NodeContent{};
    };
    if (depth > kMaxEmbeddingDepth)
        return refuse("embedded messages nested more than " + std::to_string(kMaxEmbeddingDepth) +
                      " deep");
    // Checked before anything is built: each attachment is a subnode of the
    // message, beside its two tables.
    if (m.attachments.size() + 2 > kMaxSubnodes)
        return refuse(std::to_string(m.attachments.size()) + " attachments, more than the " +
                      std::to_string(kMaxSubnodes - 2) + " a message of a store holds");
    // Named properties given by name get the store's ids.
    for (auto& n : m.named)
        m.props.push_back(
            {MakeTag(n.byName ? NamedPropertyId(n.set, n.name) : NamedPropertyId(n.set, n.lid),
                     n.type),
             std::move(n.value)});
    m.named.clear();
    auto unnamed = [](const PropertyList& props) {
        return std::any_of(props.begin(), props.end(),
                           [](const Property& p) { return PropIdOf(p.tag) == 0; });
    };
    bool withoutId = unnamed(m.props);
    for (const auto& r : m.recipients) withoutId = withoutId || unnamed(r);
    for (uint32_t tag : m.moreRecipients.tags) withoutId = withoutId || PropIdOf(tag) == 0;
    for (const auto& a : m.attachments) withoutId = withoutId || unnamed(a.props);
    if (withoutId)
        return refuse("a named property has no id: the store's " +
                      std::to_string(NameMap::kMaxNames) + " named property ids are all taken");
    FillSavedMessage(&m, [this] { return NewSearchKey(); });
    PropertyList props = std::move(m.props);
    // Marked after the size is taken, so that a message file of the same
    // message gets the same size (msg::WriteMsg).
    for (auto& p : props)
        if (p.tag == PidTagSubject) p.value = MarkSubject(p.value);
    // The contents row needs only its columns; every other value goes into
    // the node uncopied (a body, the transport headers).
    stored->clear();
    for (const auto& p : props)
        if (std::find(kContentsColumns.begin(), kContentsColumns.end(), p.tag) !=
            kContentsColumns.end())
            stored->push_back(p);
    NodeContent node = BuildPropertyContext(std::move(props), nextIndex);

    // Each tag once: a message of 300,000 recipients has some ten tags, not
    // three million.
    std::vector<uint32_t> columns = kRecipientColumns;
    columns.push_back(PidTagRowid);
    auto addColumn = [&](uint32_t tag) {
        if (columns.size() <= TcInfo::kMaxColumns &&
            std::find(columns.begin(), columns.end(), tag) == columns.end())
            columns.push_back(tag);
    };
    for (const auto& r : m.recipients)
        for (const auto& p : r) addColumn(p.tag);
    for (uint32_t tag : m.moreRecipients.tags) addColumn(tag);
    TableBuilder recipients(columns);
    const auto loose = [this](std::string_view block) { return ndb_->WriteLooseBlock(block); };
    recipients.SetBlockWriter(loose);
    // Each property a recipient has is a column, and a table has at most
    // 255 of them.
    if (recipients.tags().size() > TcInfo::kMaxColumns)
        return refuse("recipients with " + std::to_string(recipients.tags().size()) +
                      " different properties, more than the " +
                      std::to_string(TcInfo::kMaxColumns) + " columns a table holds");
    // A table's heap holds its row index and every value of a row; very
    // many recipients with long values need more pages than a heap has.
    // Counted as the rows come, so such a table is not built whole first.
    auto tableFits = [&](size_t pages, const char* rows) {
        if (pages > kMaxHeapPages)
            refuse(std::string(rows) + " take " + std::to_string(pages) +
                   " pages of a table's heap, more than the " + std::to_string(kMaxHeapPages) +
                   " it holds");
        return pages <= kMaxHeapPages;
    };
    auto pagesOf = [](const NodeContent& table) {
        return table.blocks.empty() ? HeapBuilder::PagesIn(table.data.size()) : table.blocks.size();
    };
    // Each recipient is let go once its row is in the table.
    const size_t firstLater = m.recipients.size();
    for (size_t i = 0; i < firstLater + m.moreRecipients.count; ++i) {
        PropertyList row =
            i < firstLater ? std::move(m.recipients[i]) : m.moreRecipients.take(i - firstLater);
        row.push_back(LongProperty(PidTagRowid, static_cast<uint32_t>(i)));
        recipients.AppendRow(static_cast<uint32_t>(i), row);
        if (!tableFits(recipients.appendedHeapPages(), "the recipients")) return {};
    }
    m.recipients = {};
    node.subnodes.push_back({kNidRecipientTableSub, recipients.FinishAppended()});
    if (!tableFits(pagesOf(node.subnodes.back().content), "the recipients")) return {};

    if (!m.attachments.empty()) {
        node.subnodes.reserve(node.subnodes.size() + m.attachments.size() + 1);
        TableBuilder table(kAttachmentColumns);
        table.SetBlockWriter(loose);
        for (size_t i = 0; i < m.attachments.size(); ++i) {
            AttachmentContent& a = m.attachments[i];
            // Above every recipient row id: readers that look both up by id
            // would otherwise take a recipient for an attachment.
            Nid nid = MakeNid(kNidTypeAttachment, kFirstAttachmentIndex + static_cast<uint32_t>(i));
            PropertyList props = std::move(a.props);
            uint32_t index = 1;
            std::vector<Subnode> extra;
            EmbeddedSummary embedded;
            std::string subject;  // unmarked
            if (a.embedded) {
                Nid inner = MakeNid(kNidTypeNormalMessage, index++);
                uint32_t innerIndex = 1;
                PropertyList inner_props;
                // Taken over unless someone else holds it too.
                NodeContent message =
                    BuildMessage(a.embedded.use_count() == 1 ? std::move(*a.embedded) : *a.embedded,
                                 &innerIndex, &inner_props, depth + 1, refused);
                if (!refused->empty()) return {};
                embedded.size = LongOf(inner_props, PidTagMessageSize, 0);
                if (const Property* given = FindProperty(inner_props, PidTagSubject)) {
                    subject = UnmarkedSubject(given->value);
                    embedded.subject = &subject;
                }
                // The second half is the message's size, as Outlook writes it,
                // not the length of its node.
                Property object{PidTagAttachDataObject, {}};
                PutFixed32(&object.value, inner);
                PutFixed32(&object.value, embedded.size);
                SetProperty(&props, object);
                extra.push_back({inner, std::move(message)});
            }
            FillSavedAttachment(&props, a.embedded ? &embedded : nullptr);
            table.AppendRow(nid, props);
            if (!tableFits(table.appendedHeapPages(), "the attachments")) return {};
            NodeContent attachment = BuildPropertyContext(std::move(props), &index);
            for (auto& s : extra) attachment.subnodes.push_back(std::move(s));
            node.subnodes.push_back({nid, std::move(attachment)});
        }
        m.attachments = {};
        node.subnodes.push_back({kNidAttachmentTableSub, table.FinishAppended()});
        if (!tableFits(pagesOf(node.subnodes.back().content), "the attachments")) return {};
    }
    return node;
}

}  // namespace mailvane::pst
