// The store writer: messages imported on other threads are saved, numbered
// and reported exactly as when each is imported on the calling thread.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/TestFiles.h"
#include "convert/StoreMessageWriter.h"
#include "mapi/Folder.h"
#include "mapi/Session.h"
#include "mapi/Store.h"

namespace mailvane {
namespace {

namespace fs = std::filesystem;

class Events : public WriterEvents {
public:
    void MessageSaved(std::int64_t number) override {
        log.push_back("saved " + std::to_string(number));
    }
    void MessageFailed(std::int64_t number, const std::string& cause) override {
        log.push_back("failed " + std::to_string(number) + ": " + cause);
    }
    std::vector<std::string> log;
};

constexpr std::size_t kSizeLimit = 6000;

// Messages of every kind the import tells apart, one too large for the
// splitter's limit and some larger than the writer may hold pending.
std::string Mailbox() {
    std::string mailbox = "a preamble line\n";
    for (int i = 1; i <= 40; ++i) {
        const std::string n = std::to_string(i);
        mailbox += "From sender" + n + "@example.com Mon Jan  6 10:00:00 2025\n";
        mailbox += "From: Sender " + n + " <sender" + n + "@example.com>\n";
        mailbox += "To: someone@example.org\nSubject: message " + n + "\n";
        mailbox += "Date: Mon, 6 Jan 2025 10:" + std::string(i < 10 ? "0" : "") + n +
                   ":00 +0000\nMessage-ID: <" + n + "@example.com>\n";
        switch (i % 5) {
            case 0:
                mailbox += "Content-Type: text/plain; charset=iso-8859-1\n\ncaf\xE9 " + n + "\n";
                break;
            case 1:
                mailbox +=
                    "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=b\n\n"
                    "--b\nContent-Type: text/html; charset=utf-8\n\n<p>caf\xC3\xA9 " +
                    n +
                    "</p>\n--b\nContent-Type: application/octet-stream; name=a.bin\n"
                    "Content-Transfer-Encoding: base64\n\nAAECAwQFBgc=\n--b--\n";
                break;
            case 2:
                // Larger than the pending limit the tests set, well under
                // the splitter's.
                mailbox += "\n" + std::string(2500, 'x') + "\n";
                break;
            case 3:
                if (i == 13) {
                    mailbox += "\n" + std::string(kSizeLimit + 10, 'y') + "\n";  // too large
                    break;
                }
                [[fallthrough]];
            default:
                mailbox += "\nplain body " + n + "\n";
        }
    }
    return mailbox;
}

struct Result {
    std::vector<std::string> events;
    std::int64_t saved = 0;
    std::size_t items = 0;
    std::vector<std::string> msgFiles;  // Email-1.msg ... in number order, "" when missing
};

// Cuts the mailbox in small pieces (the splitter reuses its buffer) into a
// new store and message files in `folder`.
Result Convert(const fs::path& folder, StoreMessageWriter::Options options) {
    Result result;
    mapi::Session session;
    fs::create_directories(folder);
    std::string cause;
    mapi::Store* store = session.AddPSTStore(folder / "out.pst", "out", &cause);
    EXPECT_NE(store, nullptr) << cause;
    if (!store) return result;
    mapi::Folder* inbox = store->IPMRootFolder().Folders().Add("Inbox");
    fs::create_directories(folder / "msg");
    OutputFolder msgFolder;
    EXPECT_EQ(msgFolder.Open(folder / "msg"), "");

    Events events;
    {
        StoreMessageWriter writer(events, options);
        writer.StartMailbox(*inbox, folder / "out.pst", &msgFolder);
        MessageSplitter splitter(LineEnd::CrLf, writer, kSizeLimit);
        const std::string mailbox = Mailbox();
        for (std::size_t at = 0; at < mailbox.size(); at += 97)
            splitter.SaveMBOXFile(std::string_view(mailbox).substr(at, 97));
        splitter.Finish();
        writer.FinishMailbox();
        result.saved = writer.saved();
    }
    result.events = events.log;
    result.items = inbox->Items().Count();
    for (int n = 1; n <= 40; ++n) {
        const fs::path file = folder / "msg" / ("Email-" + std::to_string(n) + ".msg");
        result.msgFiles.push_back(fs::exists(file) ? test::ReadFile(file) : "");
    }
    EXPECT_EQ(session.RemoveStore(store), "");
    return result;
}

TEST(StoreWriter, ImportThreadsChangeNothingTheCallerSees) {
    test::ScratchFolder scratch;
    StoreMessageWriter::Options inPlace;
    inPlace.importThreads = 0;
    const Result expected = Convert(scratch / "in-place", inPlace);

    ASSERT_EQ(expected.events.size(), 40u);
    for (int n = 1; n <= 40; ++n) {
        const std::string& event = expected.events[n - 1];
        if (n == 13) {
            EXPECT_TRUE(event.starts_with("failed 13: the message is too large")) << event;
            EXPECT_EQ(expected.msgFiles[n - 1], "");
        } else {
            EXPECT_EQ(event, "saved " + std::to_string(n));
            EXPECT_NE(expected.msgFiles[n - 1], "") << n;
        }
    }
    EXPECT_EQ(expected.saved, 39);
    // Written as files only: the store's folder takes none of them.
    EXPECT_EQ(expected.items, 0u);

    // Two threads importing up to four ahead, with the 2.5 kB messages
    // imported on the calling thread in between; three threads one ahead.
    StoreMessageWriter::Options twoAhead;
    twoAhead.importThreads = 2;
    twoAhead.maxPendingBytes = 2000;
    StoreMessageWriter::Options oneAhead;
    oneAhead.importThreads = 3;
    oneAhead.maxPendingMessages = 1;
    // Message files written straight to disk are the same as made in memory.
    StoreMessageWriter::Options inFiles;
    inFiles.msgInMemoryBytes = 0;
    for (const auto& [name, options] :
         {std::pair{"two-ahead", twoAhead}, {"one-ahead", oneAhead}, {"in files", inFiles}}) {
        SCOPED_TRACE(name);
        const Result got = Convert(scratch / name, options);
        EXPECT_EQ(got.events, expected.events);
        EXPECT_EQ(got.saved, expected.saved);
        EXPECT_EQ(got.items, expected.items);
        for (int n = 1; n <= 40; ++n)
            EXPECT_TRUE(got.msgFiles[n - 1] == expected.msgFiles[n - 1]) << "Email-" << n;
    }
}

TEST(StoreWriter, AWriterGoneBeforeTheEndOfItsMailboxReportsInOrderAndNoMore) {
    test::ScratchFolder scratch;
    mapi::Session session;
    std::string cause;
    mapi::Store* store = session.AddPSTStore(scratch / "out.pst", "out", &cause);
    ASSERT_NE(store, nullptr) << cause;
    mapi::Folder* inbox = store->IPMRootFolder().Folders().Add("Inbox");
    Events events;
    StoreMessageWriter::Options options;
    options.importThreads = 2;
    {
        StoreMessageWriter writer(events, options);
        writer.StartMailbox(*inbox, scratch / "out.pst");
        MessageSplitter splitter(LineEnd::CrLf, writer, kSizeLimit);
        splitter.SaveMBOXFile(Mailbox());
        splitter.Finish();
        // No FinishMailbox: what is still pending is dropped.
    }
    ASSERT_LE(events.log.size(), 40u);
    for (std::size_t i = 0; i < events.log.size(); ++i)
        EXPECT_TRUE(
            events.log[i].starts_with((i + 1 == 13 ? "failed " : "saved ") + std::to_string(i + 1)))
            << events.log[i];
    EXPECT_LT(inbox->Items().Count(), 40u);
    EXPECT_EQ(session.RemoveStore(store), "");
}

}  // namespace
}  // namespace mailvane
