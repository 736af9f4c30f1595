// The object model: property values, the session's store and folder calls,
// saving items, and reopening a store this program made.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "TestSinks.h"
#include "TestSupport.h"
#include "mapi/Folder.h"
#include "mapi/MailItem.h"
#include "mapi/Session.h"
#include "mapi/format/PropTags.h"
#include "mapi/format/Text.h"
#include "mapi/pst/PropertyContext.h"

namespace mailvane::mapi {
namespace {

TEST(PropValue, EveryModelledTypeRoundTrips) {
    const std::vector<std::pair<uint32_t, PropValue>> cases = {
        {PidTagMessageFlags, int32_t{-5}},
        {0x0E1F000B, true},
        {PidTagReplChangenum, int64_t{1} << 40},
        {0x3FFD0005, 2.5},
        {PidTagMessageDeliveryTime, FileTime::FromUnix(1700000000)},
        {PidTagSubject, std::string("Grüße 🎉")},
        {0x0037001E, std::string("plain")},
        {PidTagRecordKey, Binary{std::string("\0\1\2", 3)}},
        {PidTagOfflineAddressBookTruncatedProperties, std::vector<int32_t>{1, -2, 3}},
        {0x8000101F, std::vector<std::string>{"a", "", "ünï"}},
        {0x80011102, std::vector<Binary>{Binary{"x"}, Binary{""}}},
    };
    for (const auto& [tag, value] : cases) {
        pst::Property stored;
        ASSERT_TRUE(ToStored(tag, value, &stored)) << std::hex << tag;
        PropValue back;
        ASSERT_TRUE(FromStored(stored, &back)) << std::hex << tag;
        EXPECT_EQ(back, value) << std::hex << tag;
    }
    pst::Property stored;
    EXPECT_FALSE(ToStored(PidTagMessageFlags, std::string("text for a number"), &stored));
    EXPECT_FALSE(ToStored(PidTagSubject, int32_t{1}, &stored));
    EXPECT_EQ(FileTime::FromUnix(0).ticks, 116444736000000000ULL);
}

TEST(Session, StoresFoldersAndItemsThroughTheCalls) {
    const test::ScratchFolder scratch;
    const auto& dir = scratch.path();
    auto path = dir / "Mail.pst";
    {
        Session session;
        std::string error;
        Store* store = session.AddPSTStore(path, "Mail", &error);
        ASSERT_NE(store, nullptr) << error;
        EXPECT_EQ(store->DisplayName(), "Mail");
        Folder* box = store->IPMRootFolder().Folders().Add("My Box");
        ASSERT_NE(box, nullptr);
        Folder* sub = box->Folders().Add("Sub");
        EXPECT_EQ(session.GetFolderFromPath("\\\\Mail\\My Box"), box);
        EXPECT_EQ(session.GetFolderFromPath("\\\\Mail\\My Box\\Sub"), sub);
        EXPECT_EQ(session.GetFolderFromPath("\\\\Mail\\Nope"), nullptr);
        EXPECT_EQ(session.GetFolderFromPath("\\\\Other\\My Box"), nullptr);
        EXPECT_EQ(session.GetFolderFromPath("My Box"), nullptr);
        EXPECT_EQ(store->IPMRootFolder().Folders().Count(), 2u) << "Deleted Items and My Box";

        for (int i = 0; i < 3; ++i) {
            auto item = box->Items().Add();
            EXPECT_TRUE(
                item->SetProperty(PidTagSubject, std::string("RE: note ") + std::to_string(i)));
            EXPECT_FALSE(item->SetProperty(PidTagMessageFlags, std::string("wrong type")));
            item->AddRecipient("Ann", "ann@example.org", 1);
            ASSERT_EQ(HrSetOneProp(*item, PidTagMessageFlags, int32_t{0x11}, true), "");
            ASSERT_EQ(item->Save(), "") << "saving twice updates the same message";
        }
        EXPECT_EQ(box->Items().Count(), 3u);
        EXPECT_EQ(session.AddPSTStore(path, "Mail", &error), nullptr) << "attached twice";
        pst::Status busy;
        EXPECT_FALSE(pst::FileSink::Open(path, &busy)) << "a second writer must be kept out";
        EXPECT_EQ(busy.message(), "in use by another program");
        EXPECT_NE(error.find("attached already"), std::string::npos) << error;
        // A second store beside the first.
        ASSERT_NE(session.AddPSTStore(dir / "Other.pst", "Other", &error), nullptr) << error;
        EXPECT_EQ(session.Stores().size(), 2u);
        ASSERT_EQ(session.RemoveStore(store), "");
        EXPECT_EQ(session.Stores().size(), 1u);
        EXPECT_EQ(session.GetFolderFromPath("\\\\Mail\\My Box"), nullptr);
        EXPECT_EQ(session.Logoff(), "");
    }
    // Reopening finds everything and adds to it.
    Session session;
    std::string error;
    Store* store = session.AddPSTStore(path, "ignored on reopen", &error);
    ASSERT_NE(store, nullptr) << error;
    EXPECT_EQ(store->DisplayName(), "Mail");
    Folder* box = session.GetFolderFromPath("\\\\Mail\\My Box");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->Items().Count(), 3u);
    EXPECT_NE(session.GetFolderFromPath("\\\\Mail\\My Box\\Sub"), nullptr);
    auto item = box->Items().Add();
    item->SetProperty(PidTagSubject, std::string("fourth"));
    ASSERT_EQ(item->Save(), "");
    ASSERT_EQ(session.Logoff(), "");

    pst::Status reopened;
    auto sink = pst::FileSink::Open(path, &reopened);
    ASSERT_TRUE(sink) << reopened.message();
    auto reread = pst::MessageStore::Open(sink.get(), &reopened);
    ASSERT_TRUE(reread) << reopened.message();
    auto nid = reread->FindFolder(reread->ipmSubtree(), "My Box");
    ASSERT_TRUE(nid);
    EXPECT_EQ(reread->MessageCount(*nid), 4u);
}

TEST(Session, SubjectsAreStoredWithTheirPrefixLength) {
    const test::ScratchFolder scratch;
    const auto& dir = scratch.path();
    std::string error;
    {
        Session session;
        Store* store = session.AddPSTStore(dir / "s.pst", "S", &error);
        ASSERT_NE(store, nullptr) << error;
        Folder* f = store->IPMRootFolder().Folders().Add("F");
        for (const char* subject :
             {"RE: hello", "Fwd:  two spaces", "no prefix", "12: digits", "Привет"}) {
            auto item = f->Items().Add();
            item->SetProperty(PidTagSubject, std::string(subject));
            ASSERT_EQ(item->Save(), "");
        }
    }
    pst::Status reopened;
    auto sink = pst::FileSink::Open(dir / "s.pst", &reopened);
    auto store = pst::MessageStore::Open(sink.get(), &reopened);
    ASSERT_TRUE(store) << reopened.message();
    std::vector<std::pair<uint16_t, std::string>> seen;
    store->ndb()->ForEachNode([&](pst::Nid nid, pst::Nid) {
        if (pst::NidTypeOf(nid) != pst::kNidTypeNormalMessage) return;
        pst::NodeContent node;
        pst::PropertyList props;
        ASSERT_TRUE(store->ndb()->ReadNode(nid, &node));
        ASSERT_EQ(pst::ReadPropertyContext(node, &props), "");
        for (const auto& p : props)
            if (p.tag == PidTagSubject) {
                ASSERT_GE(p.value.size(), 4u);
                EXPECT_EQ(p.value[0], 1);
                seen.emplace_back(static_cast<uint16_t>(p.value[2]),
                                  format::Utf8FromUtf16(p.value.substr(4)));
            }
    });
    std::vector<std::pair<uint16_t, std::string>> want = {{5, "RE: hello"},
                                                          {7, "Fwd:  two spaces"},
                                                          {1, "no prefix"},
                                                          {1, "12: digits"},
                                                          {1, "Привет"}};
    EXPECT_EQ(seen, want);
}

TEST(MailItem, RecipientsCarryAReplyableAddress) {
    MailItem item;
    Recipient& r = item.AddRecipient("Zoë", "zoe@example.org", 2);
    auto id = r.GetProperty(PidTagEntryId);
    ASSERT_TRUE(id);
    const std::string& bytes = std::get<Binary>(*id).bytes;
    EXPECT_EQ(bytes.substr(4, 4), std::string("\x81\x2B\x1F\xA4", 4)) << "one-off provider";
    EXPECT_EQ(bytes.substr(22, 2), std::string("\x01\x80", 2)) << "Unicode one-off";
    std::string tail = bytes.substr(24);
    EXPECT_EQ(tail, format::Utf16FromUtf8(std::string("Zoë", 4) + '\0' + "SMTP" + '\0' +
                                          "zoe@example.org" + '\0'));
    auto key = r.GetProperty(PidTagSearchKey);
    ASSERT_TRUE(key);
    EXPECT_EQ(std::get<Binary>(*key).bytes, std::string("SMTP:ZOE@EXAMPLE.ORG\0", 21));
    EXPECT_EQ(std::get<int32_t>(*r.GetProperty(PidTagRecipientType)), 2);
    EXPECT_EQ(std::get<Binary>(*r.GetProperty(PidTagRecordKey)).bytes, bytes);

    // A name alone: a row to show, with nothing to reply to.
    Recipient& fred = item.AddRecipient("Fred", "", 1);
    EXPECT_FALSE(fred.GetProperty(PidTagEntryId) || fred.GetProperty(PidTagRecordKey) ||
                 fred.GetProperty(PidTagEmailAddress) || fred.GetProperty(PidTagSearchKey));
    EXPECT_EQ(std::get<int32_t>(*fred.GetProperty(PidTagRecipientFlags)), recipSendable);
}

TEST(MailItem, NamedPropertiesGetTheirIdsFromTheStore) {
    const char* kCommon = "{00062008-0000-0000-C000-000000000046}";
    MailItem item;
    EXPECT_FALSE(item.SetNamedProperty("no set", 0x8580, 0x001F, std::string("x")));
    EXPECT_FALSE(item.SetNamedProperty(kCommon, 0x8580, 0x0003, std::string("not a number")));
    ASSERT_TRUE(item.SetNamedProperty(kCommon, 0x8580, 0x001F, std::string("first")));
    ASSERT_TRUE(item.SetNamedProperty(kCommon, 0x8580, 0x001F, std::string("second")));
    ASSERT_TRUE(item.SetNamedProperty(kCommon, std::string("Keywords"), 0x101F,
                                      std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(item.stored().empty()) << "named properties stay named";
    ASSERT_EQ(item.named().size(), 2u) << "setting a name again replaces its value";
    EXPECT_EQ(format::Utf8FromUtf16(item.named()[0].value), "second");

    pst::MemorySink sink;
    auto store = pst::MessageStore::Create(&sink, "S");
    ASSERT_NE(store->AddMessage(store->ipmSubtree(), item.Content()), 0u);
    const std::string common = pst::ParseGuid(kCommon);
    EXPECT_EQ(store->NamedPropertyId(common, 0x8580), 0x8002)
        << "0x8000 and 0x8001 are the store's";
    EXPECT_EQ(store->NamedPropertyId(common, "Keywords"), 0x8003) << "ids are stable";

    // Header names in any spelling are one property, stored in lower case.
    const char* kHeaders = "{00020386-0000-0000-C000-000000000046}";
    ASSERT_TRUE(item.SetNamedProperty(kHeaders, std::string("Content-Type"), 0x001F,
                                      std::string("text/plain")));
    ASSERT_TRUE(item.SetNamedProperty(kHeaders, std::string("content-TYPE"), 0x001F,
                                      std::string("text/html")));
    ASSERT_EQ(item.named().size(), 3u);
    EXPECT_EQ(item.named()[2].name, "content-type");
    const std::string headers = pst::ParseGuid(kHeaders);
    EXPECT_EQ(store->NamedPropertyId(headers, "X-List-Id"),
              store->NamedPropertyId(headers, "x-list-id"));
}

// Whatever sits at the store's path and is no store of ours stays as it
// was, to the byte and to its modification time; the cause names the file.
TEST(Session, RefusesWhatItDidNotMakeAndLeavesItAlone) {
    namespace fs = std::filesystem;
    const test::ScratchFolder scratch;
    const auto& dir = scratch.path();
    Session session;
    std::string error;
    std::string text;
    for (int i = 0; i < 40; ++i) text += "just some text, not a store\n";
    std::string store_bytes;
    {
        Session maker;
        ASSERT_NE(maker.AddPSTStore(dir / "ours.pst", "Ours", &error), nullptr) << error;
        maker.Logoff();
        store_bytes = test::ReadFile(dir / "ours.pst");
    }
    // Each case: what is at the path, and the words the cause must hold.
    struct Case {
        std::string name;
        std::function<void(const fs::path&)> make;
        std::string cause;
    };
    const std::vector<Case> cases = {
        {"notes.pst", [&](const fs::path& p) { std::ofstream(p) << text; }, "not a personal store"},
        // A link to our own store is refused too: the file is written only
        // where the path itself says.
        {"link.pst", [&](const fs::path& p) { fs::create_symlink(dir / "ours.pst", p); },
         "symbolic link"},
        {"dangling.pst", [&](const fs::path& p) { fs::create_symlink(dir / "nowhere.pst", p); },
         "symbolic link"},
        {"fifo.pst", [&](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
         "not a regular file"},
    };
    for (const Case& c : cases) {
        fs::path path = dir / c.name;
        c.make(path);
        auto before = fs::symlink_status(path).type();
        auto modified =
            fs::is_regular_file(path) ? fs::last_write_time(path) : fs::file_time_type{};
        EXPECT_EQ(session.AddPSTStore(path, "X", &error), nullptr) << c.name;
        EXPECT_NE(error.find(path.string()), std::string::npos) << error;
        EXPECT_NE(error.find(c.cause), std::string::npos) << error;
        EXPECT_EQ(fs::symlink_status(path).type(), before) << c.name;
        if (fs::is_regular_file(fs::symlink_status(path))) {
            EXPECT_EQ(test::ReadFile(path), text);
            EXPECT_EQ(fs::last_write_time(path), modified);
        }
    }
    EXPECT_FALSE(fs::exists(dir / "nowhere.pst")) << "a file was made through a dangling link";
    EXPECT_EQ(test::ReadFile(dir / "ours.pst"), store_bytes) << "written through a link";
    // A folder where the file should go cannot be created over.
    EXPECT_EQ(session.AddPSTStore(dir / "missing" / "x.pst", "X", &error), nullptr);
    EXPECT_NE(error.find("x.pst"), std::string::npos) << error;
}

// A new store file takes the permission bits it is given, less the umask,
// as any file the program writes; the 0666 default leaves it to the umask.
TEST(Session, NewStoreFilesTakeTheGivenModeLessTheUmask) {
    const test::ScratchFolder scratch;
    const auto& dir = scratch.path();
    const mode_t saved = ::umask(022);
    struct Case {
        unsigned mode;
        mode_t umask;
        unsigned want;
    };
    for (const Case& c : {Case{0600, 022, 0600}, Case{0644, 077, 0600}, Case{0666, 027, 0640},
                          Case{0755, 022, 0644}}) {
        ::umask(c.umask);
        auto path = dir / ("m" + std::to_string(c.mode) + "_" + std::to_string(c.umask) + ".pst");
        Session session;
        std::string error;
        ASSERT_NE(session.AddPSTStore(path, "M", c.mode, &error), nullptr) << error;
        session.Logoff();
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.want) << std::oct << c.mode << " umask " << c.umask;
    }
    ::umask(saved);
}

}  // namespace
}  // namespace mailvane::mapi
