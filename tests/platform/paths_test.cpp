// Directories from the environment, case-insensitive lookup and atomic writes.

#include "platform/atomic_file.h"
#include "platform/paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace fs = std::filesystem;
using namespace kv::platform;

namespace {

class EnvGuard {
public:
    explicit EnvGuard(std::initializer_list<const char*> names) {
        for (const char* name : names) {
            const char* value = std::getenv(name);
            saved_.push_back({name, value ? std::optional<std::string>(value) : std::nullopt});
            ::unsetenv(name);
        }
    }
    ~EnvGuard() {
        for (auto& [name, value] : saved_) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

fs::path scratch(const char* name) {
    fs::path dir = fs::temp_directory_path() / (std::string("kv_paths_") + name + "_" +
                                                std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

TEST(Paths, ConfigDirectoryOrder) {
    EnvGuard guard{"KVMINI_CONFIG_DIR", "XDG_CONFIG_HOME", "HOME"};
    ::setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(configDirectory(), "/home/someone/.config");
    ::setenv("XDG_CONFIG_HOME", "/xdg", 1);
    EXPECT_EQ(configDirectory(), "/xdg");
    ::setenv("KVMINI_CONFIG_DIR", "/override", 1);
    EXPECT_EQ(configDirectory(), "/override");
    ::setenv("KVMINI_CONFIG_DIR", "", 1);
    EXPECT_EQ(configDirectory(), "/xdg") << "an empty variable counts as unset";
}

TEST(Paths, TempDirectoryOrder) {
    EnvGuard guard{"TEMP", "TMPDIR"};
    EXPECT_EQ(tempDirectory(), "/tmp");
    ::setenv("TMPDIR", "/var/tmp", 1);
    EXPECT_EQ(tempDirectory(), "/var/tmp");
    ::setenv("TEMP", "/t", 1);
    EXPECT_EQ(tempDirectory(), "/t");
}

TEST(Paths, DesktopIsCreatedWhenMissing) {
    EnvGuard guard{"XDG_DESKTOP_DIR", "HOME"};
    const fs::path home = scratch("home");
    ::setenv("HOME", home.c_str(), 1);
    EXPECT_EQ(desktopDirectory(), home / "Desktop");
    EXPECT_TRUE(fs::is_directory(home / "Desktop"));
    fs::remove_all(home);
}

TEST(Paths, FindFileIgnoringCase) {
    const fs::path dir = scratch("find");
    std::ofstream(dir / "KVTWAIN.ini") << "x";
    EXPECT_EQ(findFileIgnoreCase(dir, "KVTwain.ini"), dir / "KVTWAIN.ini");
    EXPECT_EQ(findFileIgnoreCase(dir, "KVTWAIN.ini"), dir / "KVTWAIN.ini");
    EXPECT_FALSE(findFileIgnoreCase(dir, "other.ini"));
    EXPECT_FALSE(findFileIgnoreCase(dir / "missing", "x"));
    fs::remove_all(dir);
}

TEST(AtomicFile, CommitReplacesUncommittedLeavesOldFile) {
    const fs::path dir = scratch("atomic");
    const fs::path target = dir / "picture.jpg";
    ASSERT_TRUE(writeFileAtomically(target, std::string_view("first")));
    {
        AtomicFile file(target);
        ASSERT_TRUE(file.isOpen());
        ASSERT_TRUE(file.write(std::string_view("half of a second vers")));
        // destroyed without commit: a failed write
    }
    kv::Bytes bytes;
    ASSERT_TRUE(readWholeFile(target, bytes));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "first");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

    ASSERT_TRUE(writeFileAtomically(target, std::string_view("second")));
    ASSERT_TRUE(readWholeFile(target, bytes));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "second");
    EXPECT_FALSE(readWholeFile(target, bytes, 3)) << "larger than the limit";
    fs::remove_all(dir);
}

TEST(AtomicFile, UnwritableDirectoryFailsCleanly) {
    AtomicFile file("/nonexistent-dir/x.bin");
    EXPECT_FALSE(file.isOpen());
    EXPECT_FALSE(file.write(std::string_view("x")));
    EXPECT_FALSE(file.commit());
    EXPECT_FALSE(file.error().empty());
}

} // namespace
