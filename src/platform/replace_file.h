// Replacing a file in a shared directory (such as the temporary directory) without ever
// following a symbolic link: the bytes go to a new file created exclusively beside the target,
// which is synced and then renamed over the target's name. A symbolic link standing at the
// target is itself replaced; the file it names is never touched.
#pragma once

#include "base/bytes.h"

#include <filesystem>
#include <string>

namespace kv::platform {

// False (the target left as it was, no temporary file left) when any step fails; `error`
// says which and why.
bool replaceFileNoFollow(const std::filesystem::path& target, ByteSpan bytes, std::string& error);

} // namespace kv::platform
