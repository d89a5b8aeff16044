#include "platform/file_rename.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kv::platform {

bool renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to,
                     std::string* error) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    int code = errno;
    // Some file systems (and older kernels) do not know the flag: a hard link fails on an
    // existing name just as atomically.
    if (code == EINVAL || code == ENOSYS) {
        if (::link(from.c_str(), to.c_str()) == 0) {
            if (::unlink(from.c_str()) == 0)
                return true;
            code = errno;
            ::unlink(to.c_str());
        } else {
            code = errno;
        }
    }
    if (error)
        *error = std::strerror(code);
    return false;
}

} // namespace kv::platform
