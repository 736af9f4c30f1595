#include "support/Paths.h"

#include <string_view>

namespace mailvane {

namespace {

constexpr std::string_view kMboxExtension = ".mbox";

// Ends in ".mbox", in any letter case.
bool EndsWithMbox(std::string_view name) {
    if (name.size() < kMboxExtension.size()) return false;
    const std::string_view tail = name.substr(name.size() - kMboxExtension.size());
    for (std::size_t i = 0; i < kMboxExtension.size(); ++i) {
        const char c = tail[i] >= 'A' && tail[i] <= 'Z' ? char(tail[i] - 'A' + 'a') : tail[i];
        if (c != kMboxExtension[i]) return false;
    }
    return true;
}

// Where the last of the platform's separators is in a native path, or npos.
fs::path::string_type::size_type LastSeparator(const fs::path::string_type& native) {
#ifdef _WIN32
    return native.find_last_of(L"\\/");
#else
    return native.find_last_of('/');
#endif
}

}  // namespace

fs::path LastPathPart(const fs::path& path) {
    const auto& native = path.native();
    const auto last = LastSeparator(native);
    if (last == native.npos) return path;
    return fs::path(native.substr(last + 1));
}

bool EnsureFolderExists(const fs::path& path, std::error_code& error) {
    error.clear();
    fs::create_directories(path, error);
    if (error) return false;
    if (!fs::is_directory(path, error)) {
        if (!error) error = std::make_error_code(std::errc::not_a_directory);
        return false;
    }
    return true;
}

fs::path PathWithoutRoot(const fs::path& source) {
    std::error_code ignored;
    fs::path absolute = fs::absolute(source, ignored);
    if (absolute.empty()) absolute = source;
    auto native = absolute.lexically_normal().native();
#ifdef _WIN32
    if (native.starts_with(L"\\\\?\\UNC\\")) {
        native = L"\\\\" + native.substr(8);
    } else if (native.starts_with(L"\\\\?\\")) {
        native = native.substr(4);
    }
    fs::path normal(native);
    // "C:\x" -> "x"; "\\srv\share\x" -> "srv\share\x".
    if (native.starts_with(L"\\\\")) return fs::path(native.substr(2)).lexically_normal();
    return normal.relative_path();
#else
    return fs::path(native).relative_path();
#endif
}

std::string TrimBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == text.npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return std::string(text.substr(first, last - first + 1));
}

std::string MailboxName(const fs::path& source) {
    const std::string file = TrimBlanks(DisplayPath(LastPathPart(source)));
    // Apple Mail exports each mailbox as a folder "X.mbox" holding a file
    // "mbox": every one of them would be called "mbox".
    if (file == "mbox") {
        std::error_code ignored;
        fs::path whole = fs::absolute(source, ignored);
        if (whole.empty()) whole = source;
        whole = whole.lexically_normal();
        const auto& native = whole.native();
        const auto last = LastSeparator(native);
        if (last != native.npos) {
            const fs::path folder(native.substr(0, last));
            if (EndsWithMbox(TrimBlanks(DisplayPath(LastPathPart(folder))))) {
                return MailboxName(folder);
            }
        }
    }
    // Only a final ".mbox" goes, in any letter case: "my.mboxes.mbox" is
    // "my.mboxes", not "myes".
    if (file.size() > kMboxExtension.size() && EndsWithMbox(file)) {
        std::string name =
            TrimBlanks(std::string_view(file).substr(0, file.size() - kMboxExtension.size()));
        if (!name.empty()) return name;
    }
    return file;
}

fs::path PathFromUtf8(std::string_view utf8) {
#ifdef _WIN32
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
#else
    return fs::path(std::string(utf8));
#endif
}

std::string DisplayPath(const fs::path& path) {
#ifdef _WIN32
    auto utf8 = path.u8string();
    return std::string(utf8.begin(), utf8.end());
#else
    return path.native();
#endif
}

}  // namespace mailvane
