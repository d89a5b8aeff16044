// The program's keys and the rules built on them.

#include "settings/app_settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace kv::settings;

namespace {

// Runs a test body with TZ set, restoring the old value afterwards.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ"))
            old_ = old;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (old_.empty())
            ::unsetenv("TZ");
        else
            ::setenv("TZ", old_.c_str(), 1);
        ::tzset();
    }

private:
    std::string old_;
};

class AppSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("kv_app_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        ::setenv("XDG_DESKTOP_DIR", (dir_ / "Desktop").c_str(), 1);
        profile_ = std::make_unique<Profile>(dir_ / "kvmini.INI");
    }
    void TearDown() override {
        ::unsetenv("XDG_DESKTOP_DIR");
        fs::remove_all(dir_);
    }

    fs::path dir_;
    std::unique_ptr<Profile> profile_;
};

TEST(ManufacturingNumber, TextForms) {
    ScopedTimeZone utc("UTC");
    EXPECT_EQ(manufacturingNumberText(0xFFFFFFFFu), "-1");
    EXPECT_EQ(manufacturingNumberText(873999999u), "873999999");
    EXPECT_EQ(manufacturingNumberText(0u), "0");
    EXPECT_EQ(manufacturingNumberText((std::uint32_t('A') << 24) + 0), "A091197174640");
    // 16000000 s after the stamp's epoch is 15 March 1998, 22:13:20 UTC.
    EXPECT_EQ(manufacturingNumberText((std::uint32_t('Z') << 24) + 16000000u), "Z031598221320");
}

TEST(ManufacturingNumber, YearsFrom2000PrintThreeDigits) {
    ScopedTimeZone utc("UTC");
    // The year is printed as years since 1900, unpadded.
    EXPECT_EQ(manufacturingStampText('Q', 946684800), "Q0101100000000");  // 1 January 2000
    EXPECT_EQ(manufacturingStampText('Q', 915148799), "Q123198235959");   // 31 December 1998
}

TEST(ManufacturingNumber, NewNumberFromStationLetterAndTime) {
    EXPECT_EQ(formManufacturingNumber('A', 874000000), std::uint32_t('A') << 24);
    EXPECT_EQ(formManufacturingNumber('Z', 874000123), (std::uint32_t('Z') << 24) + 123u);
}

TEST_F(AppSettingsTest, DefaultsWhenNothingIsStored) {
    AppSettings s(*profile_);
    EXPECT_EQ(s.baudRate(), 0);
    EXPECT_EQ(s.outputSize(), 4);
    EXPECT_EQ(s.sizeUnits(), 0);
    EXPECT_EQ(s.protocol(), LineProtocol::RS232);
    EXPECT_EQ(s.commPort(LineProtocol::RS232), 1);
    EXPECT_FALSE(s.diagnosticsDisplayed());
    EXPECT_FALSE(s.continuousTakePicture());
    EXPECT_EQ(s.stationLetter(), 'Z');
    EXPECT_EQ(s.openPath(), "");
    EXPECT_EQ(s.portDevice("COM1"), "/dev/ttyS0");
    EXPECT_EQ(s.portDevice("com4"), "/dev/ttyS3");
    EXPECT_EQ(s.portDevice("LPT1"), "/dev/lp0");
}

TEST_F(AppSettingsTest, StoredValuesAndTheirRanges) {
    std::ofstream(dir_ / "kvmini.INI") << "[OUTPUT_SIZE]\nSIZE_OUT=9\nSIZE_UNITS=2\n"
                                          "[DIAGNOSTICS]\nPROTOCOL=1\nCOMM_PORT_RS422=3x\n"
                                          "COMM_PORT_RS232=7\nDIAG_DISPLAYED=1\n"
                                          "MFG_SERIALNO_STATION=Bravo\n"
                                          "[PORTS]\nCOM3=/dev/ttyUSB0\n";
    AppSettings s(*profile_);
    EXPECT_EQ(s.outputSize(), 4);
    EXPECT_EQ(s.sizeUnits(), 2);
    EXPECT_EQ(s.protocol(), LineProtocol::RS422);
    EXPECT_EQ(s.commPort(LineProtocol::RS422), 3);
    EXPECT_EQ(s.commPort(LineProtocol::RS232), 1);
    EXPECT_TRUE(s.diagnosticsDisplayed());
    EXPECT_EQ(s.stationLetter(), 'B');
    EXPECT_EQ(s.portDevice("COM3"), "/dev/ttyUSB0");

    s.setBaudRate(0); // "Auto"
    EXPECT_EQ(profile_->getString("CONNECT_PARAMS", "BAUD_RATE"), "0");
}

TEST_F(AppSettingsTest, PlacementRoundTripAndScreenEdge) {
    AppSettings s(*profile_);
    EXPECT_FALSE(s.loadPlacement(1024, 768)) << "no FLAGS, no placement";

    Placement p;
    p.flags = 2;
    p.showCmd = 1;
    p.minX = 10, p.minY = 20;
    p.maxX = 0, p.maxY = 5;
    p.left = 0, p.top = 0, p.right = 1024, p.bottom = 768;
    s.savePlacement(p);
    EXPECT_EQ(s.loadPlacement(1024, 768), p);

    // One pixel beyond the screen on any side is refused.
    EXPECT_FALSE(s.loadPlacement(1023, 768));
    EXPECT_FALSE(s.loadPlacement(1024, 767));
    Placement q = p;
    q.left = -1;
    EXPECT_FALSE(placementFits(q, 1024, 768));
    q = p;
    q.maxX = 1024 - 480 + 1;
    EXPECT_FALSE(placementFits(q, 1024, 768));
    q.maxX = 1024 - 480;
    EXPECT_TRUE(placementFits(q, 1024, 768));
    q.minX = 1025;
    EXPECT_FALSE(placementFits(q, 1024, 768));
}

TEST_F(AppSettingsTest, MinAndMaxWrittenOnlyWithPositiveY) {
    AppSettings s(*profile_);
    Placement p;
    p.minX = 3, p.minY = 4, p.maxX = 5, p.maxY = 6;
    p.right = 100, p.bottom = 100;
    s.savePlacement(p);
    p.minY = 0;
    p.maxY = -1;
    s.savePlacement(p);
    EXPECT_EQ(profile_->getString("PLACEMENT", "MIN"), "3 4");
    EXPECT_EQ(profile_->getString("PLACEMENT", "MAX"), "5 6");
}

TEST_F(AppSettingsTest, GainAndBlemishFileNames) {
    ScopedTimeZone utc("UTC");
    AppSettings s(*profile_);
    const std::uint32_t camera = std::uint32_t('A') << 24;
    const fs::path desktop = dir_ / "Desktop";

    // Without a camera and nothing remembered: no name.
    EXPECT_FALSE(s.blemishFileName(std::nullopt, false));
    EXPECT_FALSE(s.gainFileName(std::nullopt, false, false));

    // With a camera: the desktop stands in for the empty folder; the names are remembered.
    EXPECT_EQ(s.blemishFileName(camera, false), desktop / "A091197174640");
    EXPECT_EQ(s.gainFileName(camera, false, false), desktop / "A091197174640.tif");
    EXPECT_EQ(s.gainFileName(camera, true, false), desktop / "A091197174640");
    EXPECT_EQ(profile_->getString("FILES", "GAIN_FILE"), (desktop / "A091197174640").string());

    // Without a camera the remembered names come back; the existence check needs the file.
    EXPECT_EQ(s.blemishFileName(std::nullopt, false), desktop / "A091197174640");
    EXPECT_FALSE(s.gainFileName(std::nullopt, false, true));
    std::ofstream(desktop / "A091197174640.tif") << "x";
    EXPECT_EQ(s.gainFileName(std::nullopt, false, true), desktop / "A091197174640.tif");
    EXPECT_EQ(s.gainFileName(std::nullopt, true, true), desktop / "A091197174640");

    // The old Windows desktop folder means the desktop here; other folders are used as given.
    profile_->writeString("FILES", "GAIN_BLEMISH_FOLDER", "C:\\WINDOWS\\DESKTOP\\");
    EXPECT_EQ(s.gainBlemishFolder(), desktop);
    profile_->writeString("FILES", "GAIN_BLEMISH_FOLDER", (dir_ / "station").string());
    EXPECT_EQ(s.blemishFileName(camera, false), dir_ / "station" / "A091197174640");
}

} // namespace
