// Renaming a file without ever replacing another one.
#pragma once

#include <filesystem>
#include <string>

namespace kv::platform {

// Renames `from` to `to` only when no entry named `to` exists; the test and the rename are one
// step (renameat2 with RENAME_NOREPLACE, or a hard link and unlink where the file system lacks
// it), so a file that appears meanwhile is never overwritten. False with `error` set when the
// name is taken or the rename fails; `from` is then left as it was.
bool renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to,
                     std::string* error = nullptr);

} // namespace kv::platform
