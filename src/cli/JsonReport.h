#pragma once
// The report of a command-line run as JSON (--json), for scripts: what each
// mailbox gave, the counts, every failure kept with its message number and
// cause, the stores with their folders, and the notes.
#include <filesystem>
#include <string>
#include <string_view>

#include "convert/RunReport.h"

namespace mailvane {

// One JSON document, ending in a line break. Paths and texts are UTF-8; a
// byte that is not (a file name in another encoding) is written as U+FFFD.
std::string ReportJson(const RunReport& report, const std::filesystem::path& destination);

// `text` as a JSON string, quotes included.
std::string JsonString(std::string_view text);

}  // namespace mailvane
