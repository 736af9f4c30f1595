#pragma once
// Path helpers of the conversion run. Paths stay native (bytes on POSIX,
// UTF-16 on Windows) from the caller to every file call.
#include <filesystem>
#include <string>
#include <system_error>

namespace mailvane {

namespace fs = std::filesystem;

// The last part of a path by the platform's separators: "Inbox.mbox" for
// /Mail/Inbox.mbox, the empty string for a path that ends with a separator.
fs::path LastPathPart(const fs::path& path);

// Creates the folder and every missing parent. True when the whole folder
// path exists afterwards (as a folder); the cause of a failure goes to `error`.
bool EnsureFolderExists(const fs::path& path, std::error_code& error);

// The path made absolute and lexically normal (no "." or "..", links not
// resolved), with a Windows "\\?\" prefix dropped and its root removed: "C:\"
// of a drive path, the leading "\\" of a UNC path, the leading "/" on POSIX.
// The result is always relative, so joining it to a destination stays under it.
fs::path PathWithoutRoot(const fs::path& source);

// The mailbox's display name: its file name, trimmed of spaces, without a
// final ".mbox" in any letter case ("Inbox.Mbox" gives "Inbox"). A name that
// would be empty keeps the whole file name. A file named "mbox" in a folder
// whose name ends in ".mbox" (Apple Mail's export) takes that folder's name:
// "Work" for /Mail/Work.mbox/mbox.
std::string MailboxName(const fs::path& source);

// Text of a path for messages to the user (UTF-8 on every platform).
std::string DisplayPath(const fs::path& path);

// A path from UTF-8 text (a name the program made, such as a store's): the
// bytes as they are on POSIX, UTF-16 on Windows.
fs::path PathFromUtf8(std::string_view utf8);

// Leading and trailing spaces and tabs removed.
std::string TrimBlanks(std::string_view text);

}  // namespace mailvane
