// The store's file on every platform: nameless until published, one writer
// at a time, read back after reopening, never put over a file of another.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "mapi/pst/Sink.h"

namespace mailvane::pst {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Names(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(FileSink, NamedWhenPublishedHeldByOneWriterAndReadBack) {
    const test::ScratchFolder scratch;
    const fs::path& dir = scratch.path();
    const fs::path path = dir / fs::path(u8"B\u00fcro.pst");
    // What a killed writer left under a temporary name goes; no process
    // has this id.
    std::ofstream(dir / ".mailvane-9999999-0.tmp") << "left by a killed run";
    Status error;
    auto sink = FileSink::Create(path, 0600, &error);
    ASSERT_TRUE(sink) << error.message();
    ASSERT_EQ(sink->WriteAt(10, "abc"), "");
    ASSERT_EQ(sink->Extend(8000), "");
    ASSERT_EQ(sink->Sync(), "");
    EXPECT_FALSE(fs::exists(path)) << "named before it was published";
    {
        // One never published leaves nothing behind.
        auto dropped = FileSink::Create(dir / "dropped.pst", 0600, &error);
        ASSERT_TRUE(dropped) << error.message();
    }
    ASSERT_EQ(sink->Publish(), "");
    EXPECT_EQ(Names(dir), std::vector<std::string>{path.filename().string()});
    EXPECT_FALSE(FileSink::Create(path, 0600, &error)) << "created over an existing file";
    EXPECT_FALSE(error.message().empty());
    EXPECT_FALSE(FileSink::Open(path, &error)) << "a second writer must be kept out";
    EXPECT_EQ(error.message(), "in use by another program");

    sink.reset();
    sink = FileSink::Open(path, &error);
    ASSERT_TRUE(sink) << error.message();
    EXPECT_EQ(sink->Size(), 8000u);
    std::string bytes;
    ASSERT_EQ(sink->ReadAt(8, 6, &bytes), "");
    EXPECT_EQ(bytes, std::string("\0\0abc\0", 6));
    EXPECT_EQ(sink->ReadAt(7999, 2, &bytes), "unexpected end of file");

    // A name taken between creating and publishing stays with its file.
    auto late = FileSink::Create(dir / "late.pst", 0600, &error);
    ASSERT_TRUE(late) << error.message();
    std::ofstream(dir / "late.pst") << "someone else's";
    EXPECT_NE(late->Publish(), "");
    late.reset();
    EXPECT_EQ(test::ReadFile(dir / "late.pst"), "someone else's");
    EXPECT_EQ(Names(dir).size(), 2u);
}

}  // namespace
}  // namespace mailvane::pst
