// Whole message files: what WriteMsg lays out (read back through libgsf's
// reader), what it fills in as a store would, its limits, its sinks, and
// MailItem::SaveAs putting files in place whole or not at all.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/TestFiles.h"
#include "mapi/Folder.h"
#include "mapi/MailItem.h"
#include "mapi/Session.h"
#include "mapi/format/NameTable.h"
#include "mapi/format/Text.h"
#include "mapi/import/MimeImport.h"
#include "mapi/msg/MsgWriter.h"
#include "mapi/msg/PropertyStream.h"
#include "msg/CompoundReader.h"

namespace mailvane::msg {
namespace {

namespace fs = std::filesystem;
using testing::CompoundTree;
using testing::ReadCompound;

using format::AttachmentContent;
using format::MessageContent;
using format::PropertyList;
using format::Utf16FromUtf8;

// Messages built by hand.
void Long(PropertyList* props, uint32_t tag, uint32_t v) {
    props->push_back(format::LongProperty(tag, v));
}
MessageContent Simple(const std::string& subject) {
    MessageContent m;
    m.props = {{0x0037001F, Utf16FromUtf8(subject)}, {0x001A001F, Utf16FromUtf8("IPM.Note")}};
    return m;
}

std::string Write(const MessageContent& m) {
    std::string bytes;
    EXPECT_EQ(WriteMsg(m, Sink::Memory(&bytes)), "");
    return bytes;
}

// The entries of a property stream read back, by tag.
std::map<uint32_t, PropertyEntry> Entries(const CompoundTree& tree, const std::string& storage,
                                          StreamOwner owner, StreamHeader* header = nullptr) {
    const std::string path = (storage.empty() ? "" : storage + "/") + "__properties_version1.0";
    std::vector<PropertyEntry> entries;
    StreamHeader h;
    auto it = tree.streams.find(path);
    EXPECT_NE(it, tree.streams.end()) << path;
    if (it != tree.streams.end()) {
        EXPECT_EQ(DecodePropertyStream(owner, it->second, &h, &entries), "") << path;
    }
    if (header) *header = h;
    std::map<uint32_t, PropertyEntry> out;
    for (const auto& e : entries) out[e.tag] = e;
    return out;
}

constexpr char kAttach0[] = "__attach_version1.0_#00000000";
constexpr char kAttach1[] = "__attach_version1.0_#00000001";
constexpr char kEmbedded[] = "__substg1.0_3701000D";

TEST(MsgFile, RecipientsAttachmentsAndNestedMessagesHaveTheirStoragesAndHeaders) {
    MessageContent m = Simple("outer");
    for (const char* address : {"a@example.com", "b@example.com"}) {
        PropertyList& r = m.recipients.emplace_back();
        r.push_back({0x3003001F, Utf16FromUtf8(address)});
        Long(&r, 0x0C150003, 1);
    }
    AttachmentContent& file = m.attachments.emplace_back();
    Long(&file.props, 0x37050003, 1);
    file.props.push_back({0x3707001F, Utf16FromUtf8("data.bin")});
    file.props.push_back({0x37010102, std::string("\0\1\2\3", 4)});
    // Two levels of embedded messages below the top.
    auto inner = std::make_shared<MessageContent>(Simple("innermost"));
    auto middle = std::make_shared<MessageContent>(Simple("middle"));
    Long(&middle->attachments.emplace_back().props, 0x37050003, 5);
    middle->attachments.back().embedded = inner;
    AttachmentContent& forwarded = m.attachments.emplace_back();
    Long(&forwarded.props, 0x37050003, 5);
    forwarded.embedded = middle;

    CompoundTree tree = ReadCompound(Write(m));
    ASSERT_TRUE(tree.ok);
    EXPECT_EQ(tree.rootClass, format::ParseGuid("{00020D0B-0000-0000-C000-000000000046}"));
    const std::string middlePath = std::string(kAttach1) + "/" + kEmbedded;
    const std::string innerPath = middlePath + "/" + kAttach0 + "/" + kEmbedded;
    EXPECT_EQ(tree.storages, (std::set<std::string>{
                                 "", "__recip_version1.0_#00000000", "__recip_version1.0_#00000001",
                                 kAttach0, kAttach1, middlePath, middlePath + "/" + kAttach0,
                                 innerPath, "__nameid_version1.0"}));

    StreamHeader top, mid, innermost;
    Entries(tree, "", StreamOwner::kTopMessage, &top);
    EXPECT_EQ(top.recipientCount, 2u);
    EXPECT_EQ(top.nextRecipientId, 2u);
    EXPECT_EQ(top.attachmentCount, 2u);
    EXPECT_EQ(top.nextAttachmentId, 2u);
    Entries(tree, middlePath, StreamOwner::kEmbeddedMessage, &mid);
    EXPECT_EQ(mid.recipientCount, 0u);
    EXPECT_EQ(mid.attachmentCount, 1u);
    auto inside = Entries(tree, innerPath, StreamOwner::kEmbeddedMessage, &innermost);
    EXPECT_EQ(innermost.attachmentCount, 0u);
    EXPECT_EQ(tree.streams.at(innerPath + "/__substg1.0_0037001F"), Utf16FromUtf8("innermost"));
    EXPECT_EQ(inside.at(0x340D0003).value, 0x00040E79u);  // every message says Unicode

    // The embedded message's attachment: no size, 1 in the reserved word.
    auto forwardedEntries = Entries(tree, kAttach1, StreamOwner::kRecipientOrAttachment);
    ASSERT_TRUE(forwardedEntries.count(0x3701000D));
    EXPECT_EQ(forwardedEntries.at(0x3701000D).size(), 0xFFFFFFFFu);
    EXPECT_EQ(forwardedEntries.at(0x3701000D).reserved(), 1u);
    EXPECT_EQ(tree.streams.at(std::string(kAttach0) + "/__substg1.0_37010102"),
              std::string("\0\1\2\3", 4));
    auto recipient =
        Entries(tree, "__recip_version1.0_#00000001", StreamOwner::kRecipientOrAttachment);
    EXPECT_EQ(recipient.at(0x30000003).value, 1u);  // PidTagRowid
    EXPECT_EQ(recipient.at(0x0FFE0003).value, 6u);  // a mail user, though the row did not say
    EXPECT_EQ(tree.streams.at("__recip_version1.0_#00000001/__substg1.0_0FF60102"),
              std::string("\0\0\0\1", 4));  // its instance key

    // One mapping at the top, its three streams there even when empty.
    for (const char* s : {"__substg1.0_00020102", "__substg1.0_00030102", "__substg1.0_00040102"})
        EXPECT_EQ(tree.streams.at(std::string("__nameid_version1.0/") + s), "");
}

TEST(MsgFile, WhatAStoreFillsInIsFilledInAndWhatTheItemHasIsKept) {
    MessageContent bare = Simple("bare");
    CompoundTree tree = ReadCompound(Write(bare));
    auto top = Entries(tree, "", StreamOwner::kTopMessage);
    EXPECT_EQ(top.at(0x0E070003).value, 1u);  // read, no attachments
    EXPECT_EQ(top.at(0x0E170003).value, 0u);
    EXPECT_EQ(top.at(0x300B0102).size(), 16u);
    EXPECT_TRUE(top.count(0x30070040) && top.count(0x30080040) && top.count(0x0E080003));
    EXPECT_EQ(top.at(0x3FFD0003).value, 65001u);  // no code page of its own: UTF-8
    EXPECT_EQ(top.at(0x3FF10003).value, 1033u);

    MessageContent flagged = Simple("flagged");
    Long(&flagged.props, 0x0E070003, 0x11);  // says it has attachments, has none
    Long(&flagged.props, 0x0E080003, 1234);
    Long(&flagged.props, 0x3FDE0003, 28591);  // the body came in Latin-1
    Long(&flagged.props, 0x3FF10003, 1031);
    tree = ReadCompound(Write(flagged));
    top = Entries(tree, "", StreamOwner::kTopMessage);
    EXPECT_EQ(top.at(0x0E070003).value, 0x01u);
    EXPECT_EQ(top.at(0x0E080003).value, 1234u);
    EXPECT_EQ(top.at(0x3FFD0003).value, 28591u);
    EXPECT_EQ(top.at(0x3FF10003).value, 1031u);

    MessageContent forwarding = Simple("forwarding");
    Long(&forwarding.props, 0x0E070003, 0);
    Long(&forwarding.attachments.emplace_back().props, 0x37050003, 5);
    forwarding.attachments.back().embedded = std::make_shared<MessageContent>(Simple("Re: lunch"));
    tree = ReadCompound(Write(forwarding));
    EXPECT_EQ(Entries(tree, "", StreamOwner::kTopMessage).at(0x0E070003).value, 0x10u);
    auto attachment = Entries(tree, kAttach0, StreamOwner::kRecipientOrAttachment);
    EXPECT_EQ(attachment.at(0x370B0003).value, 0xFFFFFFFFu);
    EXPECT_EQ(attachment.at(0x0E210003).value, 0u);
    EXPECT_EQ(attachment.at(0x0FFE0003).value, 7u);  // an attachment object, keyed by its number
    EXPECT_EQ(tree.streams.at(std::string(kAttach0) + "/__substg1.0_0FF90102"),
              std::string(4, '\0'));
    // Named after the message it holds.
    EXPECT_EQ(tree.streams.at(std::string(kAttach0) + "/__substg1.0_3001001F"),
              Utf16FromUtf8("Re: lunch"));
    EXPECT_EQ(tree.streams.at(std::string(kAttach0) + "/__substg1.0_3704001F"),
              Utf16FromUtf8("Re: lunch"));
}

TEST(MsgFile, NamedPropertiesOfEveryObjectShareOneMappingAtTheTop) {
    const std::string common = format::ParseGuid("{00062008-0000-0000-C000-000000000046}");
    auto named = [&](MessageContent* m, uint32_t lid, const std::string& text) {
        m->named.push_back({common, false, lid, {}, 0x001F, Utf16FromUtf8(text)});
    };
    MessageContent m = Simple("named");
    named(&m, 0x8580, "account");
    auto inner = std::make_shared<MessageContent>(Simple("inner"));
    named(inner.get(), 0x8580, "other account");
    named(inner.get(), 0x8581, "stamp");
    Long(&m.attachments.emplace_back().props, 0x37050003, 5);
    m.attachments.back().embedded = inner;

    CompoundTree tree = ReadCompound(Write(m));
    const std::string innerPath = std::string(kAttach0) + "/" + kEmbedded;
    EXPECT_EQ(tree.streams.at("__substg1.0_8000001F"), Utf16FromUtf8("account"));
    EXPECT_EQ(tree.streams.at(innerPath + "/__substg1.0_8000001F"), Utf16FromUtf8("other account"));
    EXPECT_EQ(tree.streams.at(innerPath + "/__substg1.0_8001001F"), Utf16FromUtf8("stamp"));
    EXPECT_EQ(tree.streams.at("__nameid_version1.0/__substg1.0_00030102").size(), 16u);
    EXPECT_EQ(tree.storages.count(innerPath + "/__nameid_version1.0"), 0u);

    MessageContent broken = Simple("no set");
    broken.named.push_back({"", true, 0, "x", 0x001F, Utf16FromUtf8("y")});
    std::string bytes;
    EXPECT_NE(WriteMsg(broken, Sink::Memory(&bytes)), "");
}

TEST(MsgFile, RecipientsAttachmentsAndNestingPastTheLimitFailBeforeAnyByte) {
    MessageContent many = Simple("many recipients");
    const std::string address = Utf16FromUtf8("x@example.com");
    for (size_t i = 0; i < kMaxRecipients; ++i) many.recipients.push_back({{0x3003001F, address}});
    CompoundTree tree = ReadCompound(Write(many));
    StreamHeader header;
    Entries(tree, "", StreamOwner::kTopMessage, &header);
    EXPECT_EQ(header.recipientCount, kMaxRecipients);
    EXPECT_TRUE(tree.storages.count("__recip_version1.0_#000007FF"));
    // One more is never cut silently: the message fails, nothing written.
    many.recipients.push_back({{0x3003001F, address}});
    std::string bytes;
    EXPECT_NE(WriteMsg(many, Sink::Memory(&bytes)).find("2048 recipients, this message has 2049"),
              std::string::npos);
    EXPECT_EQ(bytes, "");
    auto inner = std::make_shared<MessageContent>(many);
    MessageContent carrier = Simple("carries it");
    carrier.attachments.emplace_back().embedded = inner;
    EXPECT_NE(
        WriteMsg(carrier, Sink::Memory(&bytes)).find("2048 recipients, this message has 2049"),
        std::string::npos);
    EXPECT_EQ(bytes, "");

    MessageContent attached = Simple("many attachments");
    attached.attachments.resize(kMaxAttachments + 1);
    EXPECT_NE(WriteMsg(attached, Sink::Memory(&bytes)).find("2048"), std::string::npos);

    auto deepest = std::make_shared<MessageContent>(Simple("deep"));
    for (int depth = 0; depth <= kMaxEmbeddingDepth; ++depth) {
        auto outer = std::make_shared<MessageContent>(Simple("level"));
        outer->attachments.emplace_back().embedded = deepest;
        deepest = outer;
    }
    // One level of embedding more than the limit fails; the limit itself does not.
    EXPECT_NE(WriteMsg(*deepest, Sink::Memory(&bytes)), "");
    EXPECT_EQ(WriteMsg(*deepest->attachments[0].embedded, Sink::Memory(&bytes)), "");
}

class MsgSinks : public ::testing::Test {
protected:
    // A message that gives the same bytes each time: its times and search
    // key are its own, and a large attachment takes big-block streams.
    MessageContent Fixed() {
        MessageContent m = Simple("fixed");
        m.props.push_back({0x30080040, std::string("\0\x40\x2C\x87\xD5\xB9\xD6\x01", 8)});
        m.props.push_back({0x30070040, std::string("\0\x40\x2C\x87\xD5\xB9\xD6\x01", 8)});
        m.props.push_back({0x300B0102, std::string(16, 'k')});
        std::string big(3 << 20, '\0');
        for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + (i >> 12));
        AttachmentContent& a = m.attachments.emplace_back();
        a.props.push_back({0x37010102, std::move(big)});
        return m;
    }
    test::ScratchFolder scratch_;
    const fs::path& dir_ = scratch_.path();
};

TEST_F(MsgSinks, AFileGetsTheSameBytesAsMemoryOrFailsTheWrite) {
    MessageContent m = Fixed();
    const std::string inMemory = Write(m);
    EXPECT_EQ(ReadCompound(inMemory).streams.at(std::string(kAttach0) + "/__substg1.0_37010102"),
              m.attachments[0].props[0].value);
    const fs::path path = dir_ / "out.msg";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(WriteMsg(m, Sink::File(fd)), "");
    ::close(fd);
    EXPECT_EQ(test::ReadFile(path), inMemory);

    // A file that cannot take the bytes (full, read-only, none) fails the write.
    const int full = ::open("/dev/full", O_WRONLY);
    if (full >= 0) {
        EXPECT_NE(WriteMsg(m, Sink::File(full)), "");
        ::close(full);
    }
    const int readOnly = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(readOnly, 0);
    EXPECT_NE(WriteMsg(m, Sink::File(readOnly)), "");
    ::close(readOnly);
    EXPECT_NE(WriteMsg(m, Sink::File(-1)), "");
}

// A mail as a mailbox holds it, with an attachment.
constexpr char kMail[] =
    "From: Ann <ann@example.com>\r\nTo: bob@example.org\r\nSubject: report\r\n"
    "Date: Mon, 6 Jan 2020 10:00:00 +0000\r\nMIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\n"
    "See attached.\r\n--b\r\nContent-Type: text/csv; name=t.csv\r\n"
    "Content-Disposition: attachment; filename=t.csv\r\n\r\na,b\r\n--b--\r\n";

TEST_F(MsgSinks, SaveAsPutsTheWholeFileInPlaceOrNothing) {
    mapi::MailItem item;
    ASSERT_EQ(mapi::ImportMessage("", kMail, "", item), "");
    std::string expected;
    ASSERT_EQ(item.WriteMsg(Sink::Memory(&expected)), "");

    const fs::path path = dir_ / "Email-1.msg";
    std::ofstream(path) << "an older file";
    EXPECT_EQ(item.SaveAs(path, 3), "");
    EXPECT_EQ(test::ReadFile(path), expected);

    EXPECT_NE(item.SaveAs(dir_ / "Email-2.msg", 2), "");
    EXPECT_NE(item.SaveAs(dir_ / "missing" / "Email-3.msg", 3), "");

    OutputFolder folder;
    ASSERT_EQ(folder.Open(dir_), "");
    std::ofstream(dir_ / "Email-4.msg") << "not ours";
    EXPECT_NE(item.SaveAs(folder, "Email-4.msg", CreateMode::Exclusive), "");
    EXPECT_EQ(test::ReadFile(dir_ / "Email-4.msg"), "not ours");
    EXPECT_EQ(item.SaveAs(folder, "Email-5.msg", CreateMode::Exclusive), "");

    // A message the file cannot hold leaves no file and no temporary one.
    mapi::MailItem crowded;
    for (size_t i = 0; i <= kMaxAttachments; ++i) crowded.AddAttachment().SetFile("a.txt", "a");
    EXPECT_NE(crowded.SaveAs(dir_ / "Email-6.msg", 3), "");
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.insert(e.path().filename());
    EXPECT_EQ(names, (std::set<std::string>{"Email-1.msg", "Email-4.msg", "Email-5.msg"}));
}

TEST_F(MsgSinks, SavingIntoAStoreFirstChangesNothingInTheFile) {
    mapi::MailItem alone;
    ASSERT_EQ(mapi::ImportMessage("", kMail, "", alone), "");
    std::string withoutStore;
    ASSERT_EQ(alone.WriteMsg(Sink::Memory(&withoutStore)), "");

    mapi::Session session;
    std::string error;
    mapi::Store* store = session.AddPSTStore(dir_ / "staging.pst", "Staging", &error);
    ASSERT_NE(store, nullptr) << error;
    mapi::Folder* folder = store->IPMRootFolder().Folders().Add("Inbox");
    auto item = folder->Items().Add();
    ASSERT_EQ(mapi::ImportMessage("", kMail, "", *item), "");
    ASSERT_EQ(item->Save(), "");
    std::string afterSave;
    ASSERT_EQ(item->WriteMsg(Sink::Memory(&afterSave)), "");
    EXPECT_EQ(afterSave, withoutStore);
    EXPECT_EQ(session.Logoff(), "");
}

}  // namespace
}  // namespace mailvane::msg
