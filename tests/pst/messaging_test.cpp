// The messaging layer against an in-memory model: random folder trees and
// messages of random sizes around the heap and block limits, checkpointed
// at random, then reopened and read back node by node.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <set>

#include "TestSinks.h"
#include "TestSupport.h"
#include "mapi/format/Coding.h"
#include "mapi/format/PropTags.h"
#include "mapi/format/Text.h"
#include "mapi/pst/MessageStore.h"
#include "mapi/pst/PropertyContext.h"
#include "mapi/pst/TableContext.h"

namespace mailvane::pst {

using namespace format;
namespace {

size_t SizeNearLimits(std::mt19937& rng) {
    static const size_t kSizes[] = {0, 2, 3578, 3580, 3582, 8174, 8176, 8178, 20000};
    return kSizes[rng() % 9] / 2 * 2;
}

struct ModelMessage {
    PropertyList props;
    std::vector<std::string> attachments;
    size_t recipients = 0;
};

struct ModelFolder {
    Nid parent = 0;
    std::string name;
    std::map<Nid, ModelMessage> messages;
};

std::map<uint32_t, std::string> ByTag(const PropertyList& props) {
    std::map<uint32_t, std::string> out;
    for (const auto& p : props) out[p.tag] = p.value;
    return out;
}

TEST(MessageStore, RandomFoldersAndMessagesReadBackAfterReopening) {
    for (uint32_t seed : {21u, 22u, 23u}) {
        std::mt19937 rng(seed);
        MemorySink sink;
        std::map<Nid, ModelFolder> model;
        {
            auto store = MessageStore::Create(&sink, "Random " + std::to_string(seed));
            std::vector<Nid> folders = {store->ipmSubtree()};
            for (int i = 0; i < 40; ++i) {
                Nid parent = folders[rng() % folders.size()];
                std::string name = "Folder " + std::to_string(i) + " ü";
                Nid nid = store->CreateFolder(parent, name);
                model[nid] = ModelFolder{parent, name, {}};
                folders.push_back(nid);
            }
            for (int i = 0; i < 300; ++i) {
                Nid folder = folders[1 + rng() % (folders.size() - 1)];
                MessageContent m;
                ModelMessage mm;
                m.props.push_back(
                    {mapi::PidTagSubject, Utf16FromUtf8("Subject " + std::to_string(i))});
                m.props.push_back({mapi::PidTagBody, test::RandomBytes(rng, SizeNearLimits(rng))});
                m.props.push_back({mapi::PidTagHtml, test::RandomBytes(rng, SizeNearLimits(rng))});
                std::string flags;
                PutFixed32(&flags, rng() % 2);  // read or unread
                m.props.push_back({mapi::PidTagMessageFlags, flags});
                mm.recipients = rng() % 5;
                for (size_t r = 0; r < mm.recipients; ++r)
                    m.recipients.push_back(
                        {{mapi::PidTagDisplayName,
                          Utf16FromUtf8(std::string("R").append(std::to_string(r)))}});
                for (size_t a = rng() % 3; a > 0; --a) {
                    std::string data =
                        test::RandomBytes(rng, SizeNearLimits(rng) * (rng() % 2 ? 1 : 9));
                    AttachmentContent att;
                    std::string method;
                    PutFixed32(&method, 1);
                    att.props = {{mapi::PidTagAttachMethod, method},
                                 {mapi::PidTagAttachDataBinary, data}};
                    m.attachments.push_back(att);
                    mm.attachments.push_back(data);
                }
                mm.props = m.props;
                Nid nid = store->AddMessage(folder, m);
                model[folder].messages[nid] = mm;
                if (rng() % 40 == 0) {
                    ASSERT_EQ(store->Checkpoint(), "");
                }
            }
            ASSERT_EQ(store->Checkpoint(), "");
        }

        Status error;
        auto store = MessageStore::Open(&sink, &error);
        ASSERT_TRUE(store) << error.message();
        NdbWriter* ndb = store->ndb();
        std::set<std::string> search_keys;
        size_t messages = 0;
        for (const auto& [nid, folder] : model) {
            EXPECT_EQ(store->FolderName(nid), folder.name);
            EXPECT_EQ(store->MessageCount(nid), folder.messages.size());
            std::vector<Nid> under = store->Subfolders(folder.parent);
            EXPECT_NE(std::find(under.begin(), under.end(), nid), under.end())
                << "parent of " << folder.name;

            // The folder object, its contents table and its parent's row agree.
            NodeContent node;
            PropertyList props;
            ASSERT_TRUE(ndb->ReadNode(nid, &node));
            ASSERT_EQ(ReadPropertyContext(node, &props), "");
            auto pc = ByTag(props);
            uint32_t unread = 0;
            for (const auto& [mid, m] : folder.messages)
                if (!(DecodeFixed32(ByTag(m.props)[mapi::PidTagMessageFlags].data()) & 1)) ++unread;
            EXPECT_EQ(DecodeFixed32(pc[mapi::PidTagContentCount].data()), folder.messages.size());
            EXPECT_EQ(DecodeFixed32(pc[mapi::PidTagContentUnreadCount].data()), unread);
            TableView contents;
            ASSERT_TRUE(ndb->ReadNode(WithType(nid, kNidTypeContentsTable), &node));
            ASSERT_EQ(ReadTable(node, &contents), "");
            std::vector<uint32_t> ids(contents.row_ids.begin(), contents.row_ids.end());
            std::vector<uint32_t> want;
            for (const auto& [mid, m] : folder.messages) want.push_back(mid);
            std::sort(ids.begin(), ids.end());
            EXPECT_EQ(ids, want) << folder.name;
            TableView hierarchy;
            ASSERT_TRUE(ndb->ReadNode(WithType(folder.parent, kNidTypeHierarchyTable), &node));
            ASSERT_EQ(ReadTable(node, &hierarchy), "");
            auto row = std::find(hierarchy.row_ids.begin(), hierarchy.row_ids.end(), nid);
            ASSERT_NE(row, hierarchy.row_ids.end());
            auto cells =
                ByTag(hierarchy.rows[static_cast<size_t>(row - hierarchy.row_ids.begin())]);
            EXPECT_EQ(DecodeFixed32(cells[mapi::PidTagContentCount].data()),
                      folder.messages.size());

            for (const auto& [mid, m] : folder.messages) {
                Nid parent = 0;
                ASSERT_TRUE(ndb->ReadNode(mid, &node, &parent));
                EXPECT_EQ(parent, nid);
                ASSERT_EQ(ReadPropertyContext(node, &props), "");
                auto got = ByTag(props);
                for (const auto& [tag, value] : ByTag(m.props)) {
                    if (tag == mapi::PidTagSubject) {
                        EXPECT_EQ(got[tag].substr(4), value) << "subject after its prefix marker";
                    } else if (tag == mapi::PidTagMessageFlags) {
                        EXPECT_EQ(DecodeFixed32(got[tag].data()) & 1,
                                  DecodeFixed32(value.data()) & 1);
                    } else {
                        EXPECT_EQ(got[tag], value) << std::hex << tag;
                    }
                }
                // Required on every message; the writer makes one up.
                EXPECT_EQ(got[mapi::PidTagSearchKey].size(), 16u);
                search_keys.insert(got[mapi::PidTagSearchKey]);
                ++messages;
                EXPECT_TRUE(got.count(mapi::PidTagMessageStatus)) << "message status";
                std::map<Nid, const NodeContent*> subs;
                for (const auto& s : node.subnodes) subs[s.nid] = &s.content;
                TableView recipients;
                ASSERT_TRUE(subs.count(0x692));
                ASSERT_EQ(ReadTable(*subs[0x692], &recipients), "");
                EXPECT_EQ(recipients.rows.size(), m.recipients);
                std::set<uint32_t> recipient_rows(recipients.row_ids.begin(),
                                                  recipients.row_ids.end());
                for (size_t a = 0; a < m.attachments.size(); ++a) {
                    // From 0x8025, clear of any recipient row id.
                    Nid anid = MakeNid(kNidTypeAttachment, 0x401 + static_cast<uint32_t>(a));
                    ASSERT_TRUE(subs.count(anid));
                    EXPECT_FALSE(recipient_rows.count(anid));
                    PropertyList aprops;
                    ASSERT_EQ(ReadPropertyContext(*subs[anid], &aprops), "");
                    EXPECT_EQ(ByTag(aprops)[mapi::PidTagAttachDataBinary], m.attachments[a]);
                }
            }
        }
        EXPECT_EQ(search_keys.size(), messages) << "search keys are unique";
    }
}

TEST(MessageStore, EmbeddedMessagesAreSizedAndNamedByTheirSubject) {
    MemorySink sink;
    auto store = MessageStore::Create(&sink, "Embedded");
    Nid folder = store->CreateFolder(store->ipmSubtree(), "F");
    auto inner = std::make_shared<MessageContent>();
    inner->props = {{mapi::PidTagSubject, Utf16FromUtf8("RE: inner")},
                    {mapi::PidTagBody, std::string(5000, 'b')}};
    MessageContent outer;
    std::string method;
    PutFixed32(&method, 5);
    outer.attachments.push_back({{{mapi::PidTagAttachMethod, method}}, inner});
    Nid nid = store->AddMessage(folder, outer);
    ASSERT_EQ(store->Checkpoint(), "");

    NodeContent node;
    ASSERT_TRUE(store->ndb()->ReadNode(nid, &node));
    const Subnode* att = nullptr;
    for (const auto& s : node.subnodes)
        if (s.nid == 0x8025) att = &s;
    ASSERT_TRUE(att);
    PropertyList props, inner_props;
    ASSERT_EQ(ReadPropertyContext(att->content, &props), "");
    auto a = ByTag(props);
    EXPECT_EQ(Utf8FromUtf16(a[mapi::PidTagDisplayName]), "RE: inner")
        << "without the prefix marker";
    EXPECT_EQ(Utf8FromUtf16(a[mapi::PidTagAttachFilename]), "RE: inner");
    ASSERT_EQ(a[mapi::PidTagAttachDataObject].size(), 8u);
    Nid inner_nid = DecodeFixed32(a[mapi::PidTagAttachDataObject].data());
    const Subnode* message = nullptr;
    for (const auto& s : att->content.subnodes)
        if (s.nid == inner_nid) message = &s;
    ASSERT_TRUE(message);
    ASSERT_EQ(ReadPropertyContext(message->content, &inner_props), "");
    uint32_t inner_size = DecodeFixed32(ByTag(inner_props)[mapi::PidTagMessageSize].data());
    EXPECT_GT(inner_size, 5000u);
    EXPECT_LT(message->content.data.size(), inner_size) << "the body sits in a subnode";
    EXPECT_EQ(DecodeFixed32(a[mapi::PidTagAttachDataObject].data() + 4), inner_size)
        << "the object's size is the message's, not its node's";
    EXPECT_GT(DecodeFixed32(a[mapi::PidTagAttachSize].data()), inner_size)
        << "the attachment holds the message and more";
}

// A reader (pst-extractor) throws on a name-to-id map whose string stream is
// empty, as Outlook's never is: a new store's map names one property by a
// string, and the stream holds it, length first, in UTF-16.
TEST(MessageStore, ANewStoresNameMapHasAStringInItsStream) {
    MemorySink sink;
    auto store = MessageStore::Create(&sink, "Names");
    ASSERT_EQ(store->Checkpoint(), "");
    NodeContent node;
    ASSERT_TRUE(store->ndb()->ReadNode(kNidNameToIdMap, &node));
    PropertyList props;
    ASSERT_EQ(ReadPropertyContext(node, &props), "");
    std::string strings = ByTag(props)[mapi::PidTagNameidStreamString];
    ASSERT_GE(strings.size(), 6u);
    uint32_t length = DecodeFixed32(strings.data());
    ASSERT_GT(length, 0u);
    ASSERT_LE(4 + length, strings.size());
    EXPECT_FALSE(Utf8FromUtf16(strings.substr(4, length)).empty());
}

// A message past a limit of the format (these once failed the whole store,
// losing every message before them) is refused alone with a cause naming
// the limit, before any of it is placed (blocks written ahead for its
// tables are let go): the messages around it are saved and the store
// checkpoints and reopens with them.
TEST(MessageStore, AMessagePastALimitIsRefusedAloneAndTheStoreGoesOn) {
    struct Case {
        const char* name;
        std::function<MessageContent(MessageStore*)> make;
        std::string cause;  // in the refusal
    };
    const Case cases[] = {
        {"attachments past the subnodes of a node",
         [](MessageStore*) {
             MessageContent m;
             m.attachments.resize(kMaxSubnodes - 1);
             return m;
         },
         "173399 attachments"},
        {"recipients written ahead, then past the subnodes",
         [](MessageStore*) {
             MessageContent m;
             m.props.push_back({mapi::PidTagBody, std::string(5000, 'b')});  // a subnode
             for (int i = 0; i < 3000; ++i)
                 m.recipients.push_back({{mapi::PidTagDisplayName, std::string(300, 'r')}});
             m.attachments.resize(kMaxSubnodes - 2);
             return m;
         },
         "173401"},
        {"recipients past the columns of a table",
         [](MessageStore*) {
             MessageContent m;
             for (uint16_t id = 0; id < 300; ++id)
                 m.recipients.push_back({{MakeTag(0x6000 + id, 0x0003), "\1\0\0\0"}});
             return m;
         },
         "columns a table holds"},
        {"embedding past the deepest",
         [](MessageStore*) {
             auto inner = std::make_shared<MessageContent>();
             for (int depth = 0; depth < kMaxEmbeddingDepth; ++depth) {
                 auto outer = std::make_shared<MessageContent>();
                 outer->attachments.push_back({{}, inner});
                 inner = outer;
             }
             MessageContent m;
             m.attachments.push_back({{}, inner});
             return m;
         },
         "nested more than 64 deep"},
        {"a named property once every id is taken",
         [](MessageStore* s) {
             const std::string set(16, 's');
             for (uint32_t lid = 0; s->NamedPropertyId(set, lid) != 0; ++lid) {
             }
             EXPECT_EQ(s->status(), "") << "a full name map fails no store";
             EXPECT_EQ(s->NamedPropertyId(set, uint32_t{5}), 0x8002 + 5)
                 << "a known name keeps its id";
             MessageContent m;
             m.props.push_back({MakeTag(s->NamedPropertyId(set, "new name"), 0x0003), "\1\0\0\0"});
             return m;
         },
         "named property ids are all taken"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemorySink sink;
        auto store = MessageStore::Create(&sink, "Limits");
        Nid folder = store->CreateFolder(store->ipmSubtree(), "F");
        MessageContent plain;
        plain.props = {{mapi::PidTagSubject, Utf16FromUtf8("before")}};
        Nid before = store->AddMessage(folder, plain);
        MessageContent past = c.make(store.get());
        ASSERT_EQ(store->Checkpoint(), "");
        const size_t blocks = testing::BlocksInFile(&sink);
        Status refused;
        EXPECT_EQ(store->AddMessage(folder, std::move(past), &refused), 0u);
        EXPECT_EQ(refused.kind(), Status::Kind::kTooLarge);
        EXPECT_NE(refused.message().find(c.cause), std::string::npos) << refused.message();
        EXPECT_EQ(store->status(), "");
        ASSERT_EQ(store->Checkpoint(), "");
        EXPECT_EQ(testing::BlocksInFile(&sink), blocks) << "nothing of it is kept";
        plain.props = {{mapi::PidTagSubject, Utf16FromUtf8("after")}};
        Nid after = store->AddMessage(folder, plain, &refused);
        EXPECT_TRUE(refused.ok());
        EXPECT_FALSE(store->UpdateMessage(before, folder, c.make(store.get()), &refused));
        EXPECT_EQ(refused.kind(), Status::Kind::kTooLarge) << "an update is refused alike";
        ASSERT_EQ(store->Checkpoint(), "");
        store.reset();
        Status error;
        auto again = MessageStore::Open(&sink, &error);
        ASSERT_TRUE(again) << error.message();
        EXPECT_EQ(again->MessageCount(folder), 2u);
        NodeContent node;
        EXPECT_TRUE(again->ndb()->ReadNode(before, &node) && again->ndb()->ReadNode(after, &node));
    }
    // Whatever else takes a node past its subnodes or data (large values
    // beside the attachments) is found by the same check before writing.
    NodeContent crowded;
    crowded.subnodes.resize(kMaxSubnodes + 1);
    EXPECT_NE(NdbWriter::CheckNode(crowded).message().find("173401 attachments, tables"),
              std::string::npos);
    NodeContent huge;
    huge.blocks.assign(kMaxNodeData / kMaxBlockData + 1, DataBlock{4, {}, kMaxBlockData});
    EXPECT_NE(NdbWriter::CheckNode(huge).message().find("4294967295"), std::string::npos);
}

// Each call whose precondition is not met (a parent that is no folder once
// made a checkpoint crash) fails the store with a cause of kind kMisuse that
// names the object; the failure is sticky, and the file keeps the last
// checkpoint.
TEST(MessageStore, UnmetPreconditionsFailWithTheirCause) {
    struct Case {
        const char* name;
        std::function<void(MessageStore*, Nid folder)> call;
        std::string names;  // in the message
    };
    const Case cases[] = {
        {"folder under no folder",
         [](MessageStore* s, Nid) { EXPECT_EQ(s->CreateFolder(0x12345, "X"), 0u); }, "0x12345"},
        {"folder under a search folder",
         [](MessageStore* s, Nid) { EXPECT_EQ(s->CreateFolder(kNidSpamSearchFolder, "X"), 0u); },
         "0x2223"},
        {"message into no folder",
         [](MessageStore* s, Nid) { EXPECT_EQ(s->AddMessage(0x777, MessageContent{}), 0u); },
         "0x777"},
        {"update of a message elsewhere",
         [](MessageStore* s, Nid f) {
             Nid m = s->AddMessage(s->ipmSubtree(), MessageContent{});
             EXPECT_FALSE(s->UpdateMessage(m, f, MessageContent{}));
         },
         "is not in folder"},
        {"named property of a short set",
         [](MessageStore* s, Nid) { EXPECT_EQ(s->NamedPropertyId("short", 0x8554), 0u); },
         "5 bytes"},
    };
    for (const Case& c : cases) {
        MemorySink sink;
        auto store = MessageStore::Create(&sink, "Misuse");
        Nid folder = store->CreateFolder(store->ipmSubtree(), "F");
        ASSERT_EQ(store->Checkpoint(), "");
        c.call(store.get(), folder);
        EXPECT_EQ(store->failure().kind(), Status::Kind::kMisuse) << c.name;
        EXPECT_NE(store->status().find(c.names), std::string::npos) << store->status();
        EXPECT_EQ(store->Checkpoint(), store->status()) << "sticky";
        EXPECT_EQ(store->CreateFolder(store->ipmSubtree(), "After"), 0u);
        store.reset();
        Status error;
        auto again = MessageStore::Open(&sink, &error);
        ASSERT_TRUE(again) << error.message();
        EXPECT_EQ(again->Subfolders(again->ipmSubtree()).size(), 2u) << "Deleted Items and F";
    }
}

}  // namespace
}  // namespace mailvane::pst
