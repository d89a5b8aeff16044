#include "platform/replace_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv::platform {

bool replaceFileNoFollow(const std::filesystem::path& target, ByteSpan bytes, std::string& error) {
    std::filesystem::path dir = target.parent_path();
    if (dir.empty())
        dir = ".";
    std::string temp = (dir / ("." + target.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(temp.data()); // O_CREAT | O_EXCL: never through a link
    if (fd < 0) {
        error = "cannot create a file in " + dir.string() + ": " + std::strerror(errno);
        return false;
    }
    ::fchmod(fd, 0644);
    const std::uint8_t* p = bytes.data();
    std::size_t left = bytes.size();
    bool ok = true;
    while (ok && left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok) {
            p += n;
            left -= std::size_t(n);
        }
    }
    if (!ok)
        error = "cannot write " + target.string() + ": " + std::strerror(errno);
    if (ok && ::fsync(fd) != 0) {
        error = "cannot write " + target.string() + ": " + std::strerror(errno);
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        error = "cannot close " + target.string() + ": " + std::strerror(errno);
        ok = false;
    }
    if (ok && std::rename(temp.c_str(), target.c_str()) != 0) {
        error = "cannot rename to " + target.string() + ": " + std::strerror(errno);
        ok = false;
    }
    if (!ok)
        ::unlink(temp.c_str());
    return ok;
}

} // namespace kv::platform
