#pragma once
// Output files that are never seen half-written, in folders reached without
// following links.
//
// A file is written under no name (or a temporary one) and given its final
// name only once every byte is written and it is closed, so a killed run
// leaves whole files only. Replacing a file swaps the name over to the new
// file: other hard links of the old one keep the old bytes.
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace mailvane {

enum class CreateMode {
    Replace,    // an existing file of that name is replaced
    Exclusive,  // fail when a file of that name exists already
};

// Permission bits for new output files: the mailbox's own bits (& 0666),
// then the umask, as a copy would get them.
inline constexpr unsigned kDefaultFileMode = 0666;
unsigned OutputModeFor(const std::filesystem::path& mailbox);

// A file being made that has no name yet (or only a temporary one), for
// files written piece by piece over a long time, such as stores: a program
// killed before Publish() leaves nothing under the final name.
class PendingFile {
public:
    PendingFile() = default;
    ~PendingFile();  // removes the file unless it was published
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

#ifdef _WIN32
    using Handle = void*;  // a HANDLE; <windows.h> stays out of this header
#else
    using Handle = int;  // a descriptor
#endif

    // Creates the file in `folder` (opened as it is, links followed) for
    // reading and writing, with the permission bits `mode` less the umask.
    // On Windows the file has a temporary name in the folder, and this
    // process alone may write it.
    std::string Create(const std::filesystem::path& folder, unsigned mode);
#ifndef _WIN32
    // As Create, in a folder opened already, with its file mode; for one of
    // many files written there one after the other.
    std::string CreateIn(const class OutputFolder& folder);
#endif
    Handle fd() const {
        return fd_;
    }
    // Gives the file the name `name` (UTF-8 on Windows) in its folder;
    // fails, leaving any existing file of that name as it was, when the
    // name is taken. The file stays open for the caller.
    std::string Publish(const std::string& name);
    // Hands the open file over; the caller closes it.
    Handle Release();

private:
#ifdef _WIN32
    Handle fd_ = nullptr;
    std::filesystem::path folder_;
#else
    int fd_ = -1;
    int folderFd_ = -1;
#endif
    std::string tempName_;  // empty for an unnamed file
    bool published_ = false;
};

// A folder that receives many files: each is created by its name relative to
// the opened folder, so the folder's path is looked up once and cannot be
// swapped for a link while the files are written.
class OutputFolder {
public:
    OutputFolder() = default;
    ~OutputFolder();
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;

    // Opens `base` (which may be a link the user chose), then creates and
    // opens each part of `relative` below it without following a symbolic
    // link. Returns the empty string, or the cause naming the folder that
    // could not be made or the link that was met.
    // REQUIRES: `relative` is relative and has no ".." part.
    std::string OpenBelow(const std::filesystem::path& base, const std::filesystem::path& relative);
    // Opens an existing folder as it is (links followed).
    std::string Open(const std::filesystem::path& folder);

    const std::filesystem::path& path() const { return path_; }
    bool isOpen() const;
    // Permission bits of the files written from now on.
    void SetFileMode(unsigned mode) { fileMode_ = mode & 0666; }
    unsigned fileMode() const { return fileMode_; }

    // Writes the file `name` inside the folder from the pieces, in order.
    // Returns the empty string on success, otherwise the cause (the path is
    // not part of it; callers name it). On failure no file of that name was
    // created or changed.
    std::string WriteWholeFile(const std::string& name,
                               std::initializer_list<std::string_view> pieces,
                               CreateMode mode = CreateMode::Replace) const;

#ifndef _WIN32
    // The opened folder, for callers that create files relative to it.
    int fd() const {
        return fd_;
    }
#endif

private:
    std::filesystem::path path_;
    unsigned fileMode_ = kDefaultFileMode;
#ifndef _WIN32
    int fd_ = -1;
#endif
};

// Which file a name leads to (without following a final link): the volume
// and the file's number on it, or nothing when the name leads nowhere. A file
// renamed, removed or replaced under a name no longer gives its identity.
struct FileIdentity {
    std::uint64_t volume = 0, file = 0;
    bool operator==(const FileIdentity&) const = default;
};
std::optional<FileIdentity> IdentityOf(const std::filesystem::path& path);

// The text of an errno value, for messages.
std::string ErrnoText(int error);
#ifdef _WIN32
// The system's text (UTF-8) of a GetLastError() code, for messages.
std::string SystemErrorText(unsigned long code);
#endif

}  // namespace mailvane
