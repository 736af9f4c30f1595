// Streaming: a store writer's memory does not grow with the messages a folder
// holds, and the rows and index pages it leaves on disk come back intact
// when an old message is saved again or the store is reopened.
//
// Memory is compared between stores of N and 4N messages, so the baseline
// (the test program, the allocator, buffers of fixed size) cancels out. When
// the writer kept every contents-table row and B-tree entry in memory, each
// added message cost about 1 KB.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "TestSinks.h"
#include "mapi/format/Coding.h"
#include "mapi/format/PropTags.h"
#include "mapi/format/Text.h"
#include "mapi/pst/MessageStore.h"
#include "mapi/pst/PropertyContext.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MAILVANE_TEST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define MAILVANE_TEST_ASAN 1
#endif
#ifdef MAILVANE_TEST_ASAN
#include <sanitizer/allocator_interface.h>
#endif

namespace mailvane::pst {

using namespace format;
namespace {

size_t LiveHeapBytes() {
#ifdef MAILVANE_TEST_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

// Files in memory-backed storage where there is one, so the page cache of
// a store of 100 MB neither slows the test nor counts as the writer's.
std::filesystem::path StoreDir(const std::string& name) {
    const auto dir =
        (std::filesystem::is_directory("/dev/shm") ? std::filesystem::path("/dev/shm")
                                                   : std::filesystem::temp_directory_path()) /
        ("mailvane_pst_memory_" + std::to_string(getpid()) + "_" + name);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

MessageContent Message(uint32_t n, bool read) {
    MessageContent m;
    std::string flags;
    PutFixed32(&flags, read ? 1 : 0);
    m.props = {
        {mapi::PidTagSubject, Utf16FromUtf8("Report " + std::to_string(n) + " für Grüße")},
        {mapi::PidTagBody, Utf16FromUtf8("Body of message " + std::to_string(n) + "\r\n")},
        {mapi::PidTagSenderName, Utf16FromUtf8("Sender " + std::to_string(n % 97))},
        {mapi::PidTagSentRepresentingName, Utf16FromUtf8("Sender " + std::to_string(n % 97))},
        {mapi::PidTagMessageFlags, flags}};
    m.recipients.push_back({{mapi::PidTagDisplayName, Utf16FromUtf8("Recipient")}});
    return m;
}

// Writes `count` messages into one folder of a new store file, checkpointing
// every 500 as the store layer does, and returns the heap bytes the open
// store holds after its last checkpoint.
size_t HeldAfterWriting(const std::filesystem::path& path, uint32_t count) {
    size_t before = LiveHeapBytes();
    Status error;
    auto sink = FileSink::Create(path, 0644, &error);
    EXPECT_TRUE(sink) << error.message();
    if (!sink) return 0;
    auto store = MessageStore::Create(sink.get(), "Memory");
    Nid folder = store->CreateFolder(store->ipmSubtree(), "Bulk");
    for (uint32_t n = 0; n < count; ++n) {
        store->AddMessage(folder, Message(n, n % 3 == 0));
        if (n % 500 == 499) {
            EXPECT_EQ(store->Checkpoint(), "");
        }
    }
    EXPECT_EQ(store->Checkpoint(), "");
    EXPECT_EQ(store->MessageCount(folder), count);
    size_t after = LiveHeapBytes();
    size_t held = after > before ? after - before : 0;
    store.reset();
    sink.reset();
    std::filesystem::remove(path);
    return held;
}

constexpr uint32_t kFew = 20000;
constexpr uint32_t kMany = 4 * kFew;
// Bytes an added message may cost. The row index takes 8 bytes a row (16
// while its vector doubles); the rest is a few bytes a B-tree leaf.
constexpr size_t kBytesPerMessage = 96;

TEST(StreamingMemory, HeapHeldGrowsByFewBytesPerMessage) {
    auto dir = StoreDir("heap");
    size_t few = HeldAfterWriting(dir / "few.pst", kFew);
    size_t many = HeldAfterWriting(dir / "many.pst", kMany);
    std::filesystem::remove_all(dir);
    size_t growth = many > few ? many - few : 0;
    EXPECT_LT(growth, (kMany - kFew) * kBytesPerMessage)
        << "held " << few << " bytes after " << kFew << " messages, " << many << " after " << kMany;
}

#ifndef MAILVANE_TEST_ASAN
// Peak resident set of this process in bytes (VmHWM).
size_t PeakRss() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stoul(line.substr(6)) * 1024;
    return 0;
}

// Peak resident memory, which also counts what is built and dropped at each
// checkpoint, measured in a child process per store so each starts from the
// same state. (Not under the address sanitizer: its quarantine keeps freed
// memory resident.)
size_t PeakRssOfChild(const std::filesystem::path& path, uint32_t count) {
    int fds[2];
    if (pipe(fds) != 0) return 0;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        // Gives back what earlier tests freed, which would otherwise be
        // resident already and hide growth; then resets the peak to what is
        // resident now.
        malloc_trim(0);
        if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
            std::fputs("5", f);
            std::fclose(f);
        }
        HeldAfterWriting(path, count);
        size_t peak = PeakRss();
        ssize_t ignored = write(fds[1], &peak, sizeof peak);
        (void)ignored;
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    close(fds[1]);
    size_t peak = 0;
    if (read(fds[0], &peak, sizeof peak) != sizeof peak) peak = 0;
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer child failed";
    return peak;
}

TEST(StreamingMemory, PeakResidentMemoryGrowsByFewBytesPerMessage) {
    auto dir = StoreDir("rss");
    size_t few = PeakRssOfChild(dir / "few.pst", kFew);
    size_t many = PeakRssOfChild(dir / "many.pst", kMany);
    std::filesystem::remove_all(dir);
    ASSERT_GT(few, 0u);
    ASSERT_GT(many, 0u);
    size_t growth = many > few ? many - few : 0;
    EXPECT_LT(growth, (kMany - kFew) * 2 * kBytesPerMessage)
        << "peak " << few << " bytes for " << kFew << " messages, " << many << " for " << kMany;
}
#endif

// Rows dropped from memory come back when they are needed: saving an old
// message again, reopening the store and adding to it, then saving an old
// message again, leaves every row, the new values and the counts right.
TEST(StreamingMemory, DroppedRowsAndPagesComeBackWhenNeeded) {
    MemorySink sink;
    Nid folder = 0;
    std::map<Nid, uint32_t> number;  // message -> n, for the subject
    std::map<Nid, bool> read;
    std::vector<Nid> order;
    auto add = [&](MessageStore& store, uint32_t n) {
        Nid nid = store.AddMessage(folder, Message(n, n % 2 == 0));
        number[nid] = n;
        read[nid] = n % 2 == 0;
        order.push_back(nid);
    };
    auto resave = [&](MessageStore& store, Nid nid, uint32_t n) {
        ASSERT_TRUE(store.UpdateMessage(nid, folder, Message(n, !read[nid])));
        number[nid] = n;
        read[nid] = !read[nid];
    };
    {
        auto store = MessageStore::Create(&sink, "Resave");
        folder = store->CreateFolder(store->ipmSubtree(), "Bulk");
        for (uint32_t n = 0; n < 3000; ++n) {
            add(*store, n);
            if (n % 500 == 499) {
                ASSERT_EQ(store->Checkpoint(), "");
            }
        }
        resave(*store, order[7], 100007);
        for (uint32_t n = 3000; n < 3300; ++n) add(*store, n);
        ASSERT_EQ(store->Checkpoint(), "");
        resave(*store, order[1500], 101500);
        ASSERT_EQ(store->Checkpoint(), "");
    }
    for (int round = 0; round < 2; ++round) {
        Status error;
        auto store = MessageStore::Open(&sink, &error);
        ASSERT_TRUE(store) << error.message();
        if (round == 0) {
            for (uint32_t n = 3300; n < 4500; ++n) {
                add(*store, n);
                if (n % 500 == 499) {
                    ASSERT_EQ(store->Checkpoint(), "");
                }
            }
            resave(*store, order[3], 100003);
            ASSERT_EQ(store->Checkpoint(), "");
            continue;
        }
        NdbWriter* ndb = store->ndb();
        NodeContent node;
        TableView contents;
        ASSERT_TRUE(ndb->ReadNode(WithType(folder, kNidTypeContentsTable), &node));
        ASSERT_EQ(ReadTable(node, &contents), "");
        ASSERT_EQ(contents.row_ids.size(), number.size());
        size_t unread = 0;
        for (size_t r = 0; r < contents.rows.size(); ++r) {
            Nid nid = contents.row_ids[r];
            ASSERT_TRUE(number.count(nid)) << nid;
            std::map<uint32_t, std::string> cells;
            for (const auto& p : contents.rows[r]) cells[p.tag] = p.value;
            EXPECT_NE(cells[mapi::PidTagSubject].find(
                          Utf16FromUtf8("Report " + std::to_string(number[nid]) + " ")),
                      std::string::npos)
                << "row of message " << number[nid];
            EXPECT_EQ(DecodeFixed32(cells[mapi::PidTagMessageFlags].data()) & 1,
                      read[nid] ? 1u : 0u);
            if (!read[nid]) ++unread;
            ASSERT_TRUE(ndb->ReadNode(nid, &node)) << nid;
        }
        PropertyList props;
        ASSERT_TRUE(ndb->ReadNode(folder, &node));
        ASSERT_EQ(ReadPropertyContext(node, &props), "");
        for (const auto& p : props)
            if (p.tag == mapi::PidTagContentUnreadCount) {
                EXPECT_EQ(DecodeFixed32(p.value.data()), unread);
            }
        EXPECT_EQ(store->MessageCount(folder), number.size());
    }
}

}  // namespace
}  // namespace mailvane::pst
