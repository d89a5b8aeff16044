#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace kv::platform {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view TempMarker = ".kvtmp.";
std::atomic<bool> unnamedAllowed{true};

// Six characters for a temporary name; O_EXCL catches the rare repeat.
std::string randomSuffix() {
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t x = std::uint64_t(::getpid()) * 0x9E3779B97F4A7C15ull ^
                      std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                      (counter.fetch_add(1) * 0xBF58476D1CE4E5B9ull);
    x ^= x >> 31;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 29;
    static constexpr char digits[] =
        "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::string s;
    for (int i = 0; i < 6; ++i, x /= 62)
        s += digits[x % 62];
    return s;
}

fs::path tempName(const fs::path& dir, const fs::path& target) {
    return dir / ("." + target.filename().string() + std::string(TempMarker) + randomSuffix());
}

int lockExclusive(int fd, int extra) {
    int rc;
    do
        rc = ::flock(fd, LOCK_EX | extra);
    while (rc != 0 && errno == EINTR);
    return rc;
}

// Removes the named temporary files of writers that died before finishing: a live writer
// holds the lock on its file, so a file whose lock can be taken has no writer any more.
void removeDeadTemporaries(const fs::path& dir) {
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() < 2 || name.front() != '.' || name.find(TempMarker) == std::string::npos)
            continue;
        const int fd = ::open(it->path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0)
            continue;
        struct stat held {
        }, named{};
        if (lockExclusive(fd, LOCK_NB) == 0 && ::fstat(fd, &held) == 0 &&
            ::lstat(it->path().c_str(), &named) == 0 && S_ISREG(held.st_mode) &&
            held.st_ino == named.st_ino && held.st_dev == named.st_dev)
            ::unlink(it->path().c_str());
        ::close(fd);
    }
}

} // namespace

fs::path followLinks(const fs::path& path) {
    fs::path p = path;
    std::error_code ec;
    for (int hops = 0; hops < 40 && fs::is_symlink(p, ec); ++hops) {
        const fs::path link = fs::read_symlink(p, ec);
        if (ec)
            break;
        p = link.is_absolute() ? link : p.parent_path() / link;
    }
    return p;
}

void allowUnnamedTemporaryFiles(bool allowed) {
    unnamedAllowed = allowed;
}

AtomicFile::AtomicFile(fs::path target) : target_(followLinks(target)) {
    fs::path dir = target_.parent_path();
    if (dir.empty())
        dir = ".";
    removeDeadTemporaries(dir);

    int fd = -1;
    // An unnamed file is named later through /proc/self/fd; without /proc it could not be.
    if (unnamedAllowed && ::access("/proc/self/fd", X_OK) == 0) {
        fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd >= 0)
            lockExclusive(fd, 0);
    }
    if (fd < 0) {
        for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
            const fs::path name = tempName(dir, target_);
            fd = ::open(name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
            if (fd < 0) {
                if (errno == EEXIST)
                    continue;
                break;
            }
            // A cleaner may have taken the file between open and lock; it then removed it.
            struct stat st {};
            if (lockExclusive(fd, 0) != 0 || ::fstat(fd, &st) != 0 || st.st_nlink == 0) {
                ::close(fd);
                fd = -1;
                continue;
            }
            temp_ = name;
        }
    }
    if (fd < 0) {
        fail("cannot create a temporary file beside " + target_.string());
        return;
    }
    // A replaced file keeps its mode, owner and group (the owner only where allowed).
    struct stat old {};
    if (::stat(target_.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        if ((old.st_uid != ::geteuid() || old.st_gid != ::getegid()) &&
            ::fchown(fd, old.st_uid, old.st_gid) != 0 && ::fchown(fd, uid_t(-1), old.st_gid) != 0) {
            // Neither could be kept: the new file is this user's.
        }
        ::fchmod(fd, old.st_mode & 07777); // after fchown, which may clear set-id bits
    }
    file_ = ::fdopen(fd, "wb");
    if (!file_) {
        ::close(fd);
        fail("cannot open the temporary file");
    }
}

AtomicFile::~AtomicFile() {
    if (!temp_.empty())
        ::unlink(temp_.c_str());
    if (file_)
        std::fclose(file_);
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
    if (std::fflush(file_) != 0 || std::ferror(file_) || ::fsync(::fileno(file_)) != 0) {
        fail("cannot write " + target_.string());
        return false;
    }
    fs::path dir = target_.parent_path();
    if (dir.empty())
        dir = ".";
    if (temp_.empty()) {
        // Name the unnamed file; the lock stays with it, so cleaners leave it alone.
        const std::string self = "/proc/self/fd/" + std::to_string(::fileno(file_));
        for (int attempt = 0; attempt < 100 && temp_.empty(); ++attempt) {
            const fs::path name = tempName(dir, target_);
            if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
                ::linkat(::fileno(file_), "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0)
                temp_ = name;
            else if (errno != EEXIST)
                break;
        }
        if (temp_.empty()) {
            fail("cannot name the temporary file beside " + target_.string());
            return false;
        }
    }
    if (std::rename(temp_.c_str(), target_.c_str()) != 0) {
        fail("cannot rename the temporary file to " + target_.string());
        return false;
    }
    temp_.clear();
    const int closed = std::fclose(file_);
    file_ = nullptr;
    if (const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return closed == 0;
}

bool writeFileAtomically(const fs::path& target, ByteSpan bytes) {
    AtomicFile file(target);
    return file.write(bytes) && file.commit();
}

bool writeFileAtomically(const fs::path& target, std::string_view text) {
    AtomicFile file(target);
    return file.write(text) && file.commit();
}

ReadResult readFile(const fs::path& path, Bytes& out, std::uintmax_t limit) {
    out.clear();
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return errno == ENOENT || errno == ENOTDIR ? ReadResult::Missing : ReadResult::Failed;
    ReadResult result = ReadResult::Ok;
    std::uint8_t chunk[65536];
    for (;;) {
        const std::size_t n = std::fread(chunk, 1, sizeof chunk, f);
        if (out.size() + n > limit) {
            result = ReadResult::TooLarge;
            break;
        }
        out.insert(out.end(), chunk, chunk + n);
        if (n < sizeof chunk) {
            if (std::ferror(f))
                result = ReadResult::Failed;
            break;
        }
    }
    std::fclose(f);
    if (result != ReadResult::Ok)
        out.clear();
    return result;
}

bool readWholeFile(const fs::path& path, Bytes& out, std::uintmax_t limit) {
    return readFile(path, out, limit) == ReadResult::Ok;
}

DirectoryLock::DirectoryLock(const fs::path& directory) {
    fd_ = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ >= 0 && lockExclusive(fd_, 0) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

DirectoryLock::~DirectoryLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

} // namespace kv::platform
