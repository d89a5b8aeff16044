// Writing a file so that it appears complete or not at all. The bytes go to an unnamed
// temporary file in the target's directory (O_TMPFILE), which is flushed, given a name and
// renamed over the target. Where the file system has no unnamed files, the temporary file
// gets a hidden name (".<name>.kvtmp.XXXXXX") at once. Either way the writer holds an advisory
// lock on its temporary file for as long as it lives, so a named temporary file nobody holds
// belongs to a dead writer: every write removes those it finds in its directory. A write that
// fails (or an object destroyed before commit()) leaves any earlier file of that name
// untouched.
//
// A target that is a symbolic link is written through: the file the link names is replaced
// and the link stays. A replaced file keeps its permission bits and, where the process may
// set them, its owner and group; a new file gets 0666 less the umask.
#pragma once

#include "base/bytes.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace kv::platform {

class AtomicFile {
public:
    explicit AtomicFile(std::filesystem::path target);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // False when the temporary file could not be created; `error()` says why.
    bool isOpen() const { return file_ != nullptr; }
    // The stdio stream of the temporary file, for writers that need one (libjpeg).
    std::FILE* stream() { return file_; }

    bool write(ByteSpan bytes);
    bool write(std::string_view text);

    // Flushes, syncs and renames over the target. False (and nothing renamed) when any
    // write, the flush or the rename failed.
    bool commit();
    const std::string& error() const { return error_; }
    // The file that is replaced: the target with symbolic links followed.
    const std::filesystem::path& target() const { return target_; }

private:
    void fail(std::string_view what);
    bool openNamed(const std::filesystem::path& dir);

    std::filesystem::path target_;
    std::filesystem::path temp_; // empty while the temporary file has no name
    std::FILE* file_ = nullptr;
    bool failed_ = false;
    std::string error_;
};

// Convenience for whole buffers.
bool writeFileAtomically(const std::filesystem::path& target, ByteSpan bytes);
bool writeFileAtomically(const std::filesystem::path& target, std::string_view text);

// `path` with its symbolic links followed as far as they lead (also when the last one points
// at a file that does not exist yet).
std::filesystem::path followLinks(const std::filesystem::path& path);

// Tests only: false makes AtomicFile use named temporary files as on file systems without
// unnamed ones.
void allowUnnamedTemporaryFiles(bool allowed);

enum class ReadResult { Ok, Missing, TooLarge, Failed };

// Reads a whole file of at most `limit` bytes; `out` is empty unless Ok.
ReadResult readFile(const std::filesystem::path& path, Bytes& out, std::uintmax_t limit);

// Reads a whole file; false when it cannot be opened or is larger than `limit` bytes.
bool readWholeFile(const std::filesystem::path& path, Bytes& out,
                   std::uintmax_t limit = std::uintmax_t(1) << 30);

// An advisory lock (flock) on a directory, held for the object's life: writers that read a
// file, change it and write it back hold it around the whole change so that two processes
// never lose each other's updates. Waits while another process holds it; `locked()` is false
// only when the directory cannot be opened.
class DirectoryLock {
public:
    explicit DirectoryLock(const std::filesystem::path& directory);
    ~DirectoryLock();
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;
    bool locked() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

} // namespace kv::platform
