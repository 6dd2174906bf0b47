// File operations on a mounted volume, for the secure erase of a found
// file and for crash reports.
#pragma once
#include <string>

namespace plat {

// Renames without replacing an existing target (renameat2 RENAME_NOREPLACE).
bool RenameNoReplace(const std::string& from, const std::string& to);
bool RemoveFile(const std::string& path);

}  // namespace plat
