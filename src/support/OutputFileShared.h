#pragma once
// What the two halves of the output files share (OutputFile.cpp): the names
// of temporary files and the wording of a folder's failure.
#include <filesystem>
#include <string>
#include <string_view>

namespace mailvane {

int ProcessId();
// A temporary name of ours: the process id and a counter, hidden.
std::string TempName();
// The process id of a temporary name of ours, or -1 for any other name.
int TempOwner(std::string_view name);
// Tells which part of a folder path failed, and why.
std::string FolderCause(const std::filesystem::path& folder, const std::string& what, int error);

}  // namespace mailvane
