// What the POSIX and Windows halves of the output files share.
#include "support/OutputFile.h"

#include <atomic>
#include <system_error>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include "support/OutputFileShared.h"

namespace mailvane {

namespace fs = std::filesystem;

std::string ErrnoText(int error) {
    return std::generic_category().message(error);
}

int ProcessId() {
#ifdef _WIN32
    return _getpid();
#else
    return static_cast<int>(::getpid());
#endif
}

namespace {

std::atomic<unsigned> tempCounter{0};

// Temporary names carry the process id, so a later run can tell the
// leftovers of a killed run from the files of a run still going.
constexpr std::string_view kTempPrefix = ".mailvane-";
constexpr std::string_view kTempSuffix = ".tmp";

}  // namespace

std::string TempName() {
    return std::string(kTempPrefix) + std::to_string(ProcessId()) + "-" +
           std::to_string(tempCounter.fetch_add(1)) + std::string(kTempSuffix);
}

int TempOwner(std::string_view name) {
    if (!name.starts_with(kTempPrefix) || !name.ends_with(kTempSuffix)) return -1;
    name.remove_prefix(kTempPrefix.size());
    int pid = 0;
    std::size_t digits = 0;
    for (; digits < name.size() && name[digits] >= '0' && name[digits] <= '9'; ++digits) {
        if (pid > 9999999) return -1;
        pid = pid * 10 + (name[digits] - '0');
    }
    return digits > 0 && digits < name.size() && name[digits] == '-' ? pid : -1;
}

std::string FolderCause(const fs::path& folder, const std::string& what, int error) {
    return what + " " + folder.string() + ": " + ErrnoText(error);
}

}  // namespace mailvane
