#pragma once
// Shared helpers of the store tests: the reference text found at run time.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace mailvane::pst::testing {

inline std::filesystem::path SharedDir() {
    return MAILVANE_SHARED_DIR;
}

// The format description's text, or empty when the shared folder is absent.
inline std::string FormatDocument() {
    std::ifstream in(SharedDir() / "reference" / "MS-PST" / "MS-PST.md", std::ios::binary);
    if (!in) return {};
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A folder of its own for a test's files, under the build folder.
inline std::filesystem::path ScratchDir(const std::string& name) {
    auto dir = std::filesystem::current_path() / "scratch" / name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

}  // namespace mailvane::pst::testing
