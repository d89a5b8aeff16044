#include "platform/atomic_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv::platform {
namespace fs = std::filesystem;

AtomicFile::AtomicFile(fs::path target) : target_(std::move(target)) {
    fs::path dir = target_.parent_path();
    if (dir.empty())
        dir = ".";
    std::string pattern = (dir / ("." + target_.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        fail("cannot create a temporary file beside " + target_.string());
        return;
    }
    // mkstemp creates the file 0600; give it the mode of an ordinary document. (Reading the
    // umask would mean changing it, which is not safe while other threads create files.)
    ::fchmod(fd, 0644);
    temp_ = pattern;
    file_ = ::fdopen(fd, "wb");
    if (!file_) {
        ::close(fd);
        fail("cannot open the temporary file");
    }
}

AtomicFile::~AtomicFile() {
    if (file_)
        std::fclose(file_);
    if (!temp_.empty()) {
        std::error_code ec;
        fs::remove(temp_, ec);
    }
}

void AtomicFile::fail(std::string_view what) {
    if (!failed_) {
        error_ = std::string(what);
        if (errno)
            error_ += std::string(": ") + std::strerror(errno);
    }
    failed_ = true;
}

bool AtomicFile::write(ByteSpan bytes) {
    if (!file_ || failed_)
        return false;
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size())
        fail("cannot write " + target_.string());
    return !failed_;
}

bool AtomicFile::write(std::string_view text) {
    return write(ByteSpan(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

bool AtomicFile::commit() {
    if (!file_ || failed_)
        return false;
    if (std::fflush(file_) != 0 || std::ferror(file_) || ::fsync(::fileno(file_)) != 0)
        fail("cannot write " + target_.string());
    const int closed = std::fclose(file_);
    file_ = nullptr;
    if (closed != 0)
        fail("cannot close " + target_.string());
    if (failed_)
        return false;
    if (std::rename(temp_.c_str(), target_.c_str()) != 0) {
        fail("cannot rename the temporary file to " + target_.string());
        return false;
    }
    temp_.clear();
    return true;
}

bool writeFileAtomically(const fs::path& target, ByteSpan bytes) {
    AtomicFile file(target);
    return file.write(bytes) && file.commit();
}

bool writeFileAtomically(const fs::path& target, std::string_view text) {
    AtomicFile file(target);
    return file.write(text) && file.commit();
}

bool readWholeFile(const fs::path& path, Bytes& out, std::uintmax_t limit) {
    out.clear();
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    bool ok = true;
    std::uint8_t chunk[65536];
    for (;;) {
        const std::size_t n = std::fread(chunk, 1, sizeof chunk, f);
        if (out.size() + n > limit) {
            ok = false;
            break;
        }
        out.insert(out.end(), chunk, chunk + n);
        if (n < sizeof chunk) {
            ok = !std::ferror(f);
            break;
        }
    }
    std::fclose(f);
    if (!ok)
        out.clear();
    return ok;
}

} // namespace kv::platform
