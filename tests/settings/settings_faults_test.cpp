// Faults of the settings file found in use: writes that wiped or rewrote the file, numbers
// that wrapped, links and modes lost, temporary files left by killed writers, the edition's
// file name, Windows folder values and manufacturing-number texts.

#include "platform/atomic_file.h"
#include "platform/paths.h"
#include "settings/app_settings.h"
#include "settings/ini_document.h"
#include "settings/profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;
using namespace kv::settings;

namespace {

class SettingsFaults : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("kv_settings_faults_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        file_ = dir_ / "kvmini.INI";
        ::setenv("XDG_DESKTOP_DIR", (dir_ / "Desktop").c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("XDG_DESKTOP_DIR");
        kv::platform::allowUnnamedTemporaryFiles(true);
        fs::remove_all(dir_);
    }
    static std::string read(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static void write(const fs::path& p, const std::string& text) {
        std::ofstream(p, std::ios::binary) << text;
    }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path dir_;
    fs::path file_;
};

TEST_F(SettingsFaults, WriteNeverReplacesAFileItCouldNotRead) {
    struct Row {
        const char* what;
        std::function<void(const fs::path&)> make;
    } rows[] = {
        {"over the read limit",
         [](const fs::path& p) { write(p, "[S]\nKEEP=1\n" + std::string(5 << 20, ';') + "\n"); }},
        {"a folder, not a file", [](const fs::path& p) { fs::create_directories(p / "x"); }},
    };
    for (const Row& row : rows) {
        fs::remove_all(file_);
        row.make(file_);
        const auto before = fs::is_regular_file(file_) ? fs::file_size(file_) : 0;
        Profile profile(file_);
        EXPECT_FALSE(profile.writeString("PATHS", "OPEN_PATH", "/x")) << row.what;
        EXPECT_FALSE(Profile::lastError().empty()) << row.what;
        if (before) {
            EXPECT_EQ(fs::file_size(file_), before) << row.what;
        }
        EXPECT_EQ(entries(), std::vector<std::string>{"kvmini.INI"}) << row.what;
    }
}

TEST_F(SettingsFaults, HostileNamesAreRefusedOrReadBackIdentically) {
    struct Row {
        std::string section, key, value;
        bool stored;
    } rows[] = {
        {"PATHS", "OPEN_PATH", "/a\n[DIAGNOSTICS]\nDIAG_DISPLAYED=1", false},
        {"PATHS", "OPEN_PATH", "/a\r\nx", false},
        {"PATHS", "OPEN_PATH", std::string("/a\0b", 4), false},
        {"PATHS", "A=B", "1", false},
        {"PATHS", "[DIAGNOSTICS]", "1", false},
        {"PATHS", ";K", "1", false},
        {"PATHS", "  ", "1", false},
        {"DIAG]NOSTICS", "K", "1", false},
        {"PATHS", "OPEN_PATH", "  /with blanks at both ends  ", true},
        {"PATHS", "OPEN_PATH", "\"in quotes\"", true},
        {"PATHS", "OPEN_PATH", "'single'", true},
        {"PATHS", "OPEN_PATH", "a=b;c[d]", true},
        {"PATHS", "OPEN_PATH", "", true},
        {"odd [name", "key ] with ; and [", "v", true},
    };
    write(file_, "[DIAGNOSTICS]\nDIAG_DISPLAYED=0\n");
    Profile profile(file_);
    for (const Row& row : rows) {
        const std::string before = read(file_);
        const std::string label = row.section + "/" + row.key + "=" + row.value;
        EXPECT_EQ(profile.writeString(row.section, row.key, row.value), row.stored) << label;
        if (row.stored) {
            EXPECT_EQ(profile.getString(row.section, row.key, "\x01"), row.value) << label;
        } else {
            EXPECT_EQ(read(file_), before) << label;
        }
        EXPECT_EQ(profile.getString("DIAGNOSTICS", "DIAG_DISPLAYED"), "0") << label;
    }
}

TEST_F(SettingsFaults, NumbersOutsideTheIntegerRangeSaturate) {
    write(file_, "[OUTPUT_SIZE]\nSIZE_OUT=4294967301\n[CONNECT_PARAMS]\nBAUD_RATE=4294967296\n"
                 "[S]\nLOW=-4294967297\nHIGH=99999999999999999999999\n");
    Profile profile(file_);
    struct Row {
        const char *section, *key;
        int expected;
    } rows[] = {{"OUTPUT_SIZE", "SIZE_OUT", INT_MAX},
                {"CONNECT_PARAMS", "BAUD_RATE", INT_MAX},
                {"S", "LOW", INT_MIN},
                {"S", "HIGH", INT_MAX}};
    for (const Row& row : rows)
        EXPECT_EQ(profile.getInt(row.section, row.key, 7), row.expected) << row.key;
    AppSettings settings(profile);
    EXPECT_EQ(settings.outputSize(), 4) << "out of range gives the default, not 5";
}

TEST_F(SettingsFaults, WritesFollowLinksKeepModeAndOwnerAndNeverLoseUpdates) {
    // Through a link: the named file changes, the link stays.
    fs::create_directories(dir_ / "real");
    const fs::path real = dir_ / "real" / "kvmini.INI";
    write(real, "[S]\nA=1\n");
    ::chmod(real.c_str(), 0600);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(real.c_str(), 4321, 4321), 0);
    }
    fs::create_symlink(real, file_);
    Profile profile(file_);
    ASSERT_TRUE(profile.writeString("S", "B", "2"));
    EXPECT_TRUE(fs::is_symlink(file_));
    EXPECT_EQ(read(real), "[S]\nA=1\nB=2\n");
    struct stat st {};
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    if (root) {
        EXPECT_EQ(st.st_uid, 4321u);
    }

    // Four processes writing 25 keys each at once: every key arrives.
    std::vector<pid_t> children;
    for (int c = 0; c < 4; ++c) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            Profile own(file_);
            bool ok = true;
            for (int k = 0; k < 25; ++k)
                ok = own.writeInt("RACE", ("K" + std::to_string(c) + "_" + std::to_string(k)), k) &&
                     ok;
            ::_exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    IniDocument doc(read(real));
    EXPECT_EQ(doc.keys("RACE").size(), 100u);
}

TEST_F(SettingsFaults, KilledWritersLeaveNoTemporaryFiles) {
    for (const bool unnamed : {true, false}) {
        kv::platform::allowUnnamedTemporaryFiles(unnamed);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        write(file_, "[S]\nK=old\n");
        for (int i = 0; i < 3; ++i) {
            const pid_t pid = ::fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                kv::platform::AtomicFile dying(file_);
                dying.write(std::string_view("[S]\nK=torn"));
                ::raise(SIGKILL);
            }
            int status = 0;
            ::waitpid(pid, &status, 0);
        }
        // A live writer's temporary file survives the cleaning done by another write.
        kv::platform::AtomicFile alive(dir_ / "other.bin");
        ASSERT_TRUE(alive.write(std::string_view("live")));
        Profile profile(file_);
        ASSERT_TRUE(profile.writeString("S", "K", "new")) << unnamed;
        ASSERT_TRUE(alive.commit()) << unnamed;
        EXPECT_EQ(entries(), (std::vector<std::string>{"kvmini.INI", "other.bin"})) << unnamed;
        EXPECT_EQ(read(file_), "[S]\nK=new\n");
    }
}

// Run only as the child of EditionNameComesFromTheNameStartedUnder.
TEST(SettingsFaultsChild, PrintModuleName) {
    const char* out = std::getenv("KV_MODULE_NAME_OUT");
    if (!out)
        GTEST_SKIP() << "only as a child process";
    std::ofstream(out) << kv::platform::moduleName();
}

TEST_F(SettingsFaults, EditionNameComesFromTheNameStartedUnder) {
    const fs::path link = dir_ / "kvpro";
    fs::create_symlink(fs::read_symlink("/proc/self/exe"), link);
    const fs::path out = dir_ / "name.txt";
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::setenv("KV_MODULE_NAME_OUT", out.c_str(), 1);
        if (std::FILE* null = std::freopen("/dev/null", "w", stdout))
            (void)null;
        ::execl(link.c_str(), link.c_str(), "--gtest_filter=SettingsFaultsChild.*",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(read(out), "kvpro");
    EXPECT_EQ(profileFileName(read(out)).filename(), "kvpro.INI");
}

TEST_F(SettingsFaults, WindowsFolderValuesMapToTheDesktop) {
    const fs::path desktop = dir_ / "Desktop";
    Profile profile(file_);
    AppSettings settings(profile);
    struct Row {
        const char* value;
        fs::path folder;
    } folders[] = {
        {"c:\\windows\\desktop", desktop},     {"C:\\WINDOWS\\DESKTOP\\", desktop},
        {"d:\\station\\gains\\", desktop},     {"c:", desktop},
        {"\\\\server\\share\\gains", desktop}, {"/srv/gains/", "/srv/gains/"},
    };
    for (const Row& row : folders) {
        ASSERT_TRUE(profile.writeString("FILES", "GAIN_BLEMISH_FOLDER", row.value));
        EXPECT_EQ(settings.gainBlemishFolder(), row.folder) << row.value;
        ASSERT_TRUE(profile.writeString("PATHS", "OPEN_PATH", row.value));
        EXPECT_EQ(fs::path(settings.openPath()), row.folder) << row.value;
    }
    ASSERT_TRUE(profile.writeString("FILES", "GAIN_FILE", "c:\\windows\\desktop\\A091197174640"));
    ASSERT_TRUE(profile.writeString("FILES", "BLEMISH_FILE", "e:\\old\\A091197174640"));
    EXPECT_EQ(settings.gainFileName(std::nullopt, false, false), desktop / "A091197174640.tif");
    EXPECT_EQ(settings.blemishFileName(std::nullopt, false), desktop / "A091197174640");
}

TEST_F(SettingsFaults, ManufacturingTextsAndFileNamesArePrintable) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    // 8 December 2026: the time part no longer fits 24 bits and reaches the letter byte.
    const std::uint32_t today = formManufacturingNumber('Z', 1796688000);
    EXPECT_EQ(today >> 24, 0x90u) << "the number stays as the stations form it";
    struct Row {
        std::uint32_t number;
        std::string text;
    } rows[] = {
        {today, "#90" + manufacturingStampText('0', 874000000 + (today & 0xFFFFFF)).substr(1)},
        {(std::uint32_t('\\') << 24), "#5C091197174640"},
        {(std::uint32_t('~') << 24), "#7E091197174640"},
        {(std::uint32_t('A') << 24), "A091197174640"},
    };
    Profile profile(file_);
    AppSettings settings(profile);
    for (const Row& row : rows) {
        const std::string text = manufacturingNumberText(row.number);
        EXPECT_EQ(text, row.text);
        for (const char c : text)
            EXPECT_TRUE(c > ' ' && c < 127 && c != '/' && c != '\\') << text;
        const auto gain = settings.gainFileName(row.number, false, false);
        ASSERT_TRUE(gain);
        EXPECT_EQ(gain->parent_path(), dir_ / "Desktop") << text;
        EXPECT_EQ(gain->filename(), text + ".tif");
    }
    ::unsetenv("TZ");
    ::tzset();
}

} // namespace
