#pragma once
// Writes one whole output file from a few pieces of bytes.
//
// A file counts as written only when every write and the close succeeded; on
// any failure the partly written file is removed and the cause is returned, so
// no truncated file is ever left behind looking complete.
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>

namespace mailvane {

enum class CreateMode {
    Replace,    // create, or empty and replace an existing file
    Exclusive,  // fail when the file exists already
};

// Returns the empty string on success, otherwise the cause ("No space left on
// device"). The path is not part of the cause; callers name it.
std::string WriteWholeFile(const std::filesystem::path& path,
                           std::initializer_list<std::string_view> pieces,
                           CreateMode mode = CreateMode::Replace);

// A folder that receives many files: each is created by its name relative to
// the folder, so the folder's path is looked up once and not for every file.
class OutputFolder {
public:
    OutputFolder() = default;
    ~OutputFolder();
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;

    // Returns the empty string on success, otherwise the cause.
    std::string Open(const std::filesystem::path& folder);
    const std::filesystem::path& path() const { return path_; }

    // As WriteWholeFile, for the file `name` inside the folder.
    std::string WriteWholeFile(const std::string& name,
                               std::initializer_list<std::string_view> pieces,
                               CreateMode mode = CreateMode::Replace) const;

private:
    std::filesystem::path path_;
#ifndef _WIN32
    int fd_ = -1;
#endif
};

// The text of an errno value, for messages.
std::string ErrnoText(int error);

}  // namespace mailvane
