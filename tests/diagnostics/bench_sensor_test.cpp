// The bench station's sensor model against the final test: planted defects are found in their
// classes and listed, a clean sensor passes, the defect list round-trips, and the vignetting
// measure judges the shaded corner.
#include "diagnostics/gain_run.h"
#include "diagnostics/sensor_calibration.h"
#include "diagnostics/vignetting.h"
#include "imaging/process/process_commands.h"
#include "imaging/process/ram_file.h"
#include "platform/atomic_file.h"
#include "station_rig.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

namespace kv::testing {
namespace {

using namespace diagnostics;
using Kind = camsim::SensorDefect::Kind;

struct BenchRig : StationRig {
    explicit BenchRig(camsim::BenchStationOptions options = {}, bool led = true)
        : StationRig(std::move(options)) {
        profile.writeString("FILES", "GAIN_BLEMISH_FOLDER", dir.path().string());
        profile.writeInt("DIAGNOSTICS", led ? "LED_STATION" : "FLASH_STATION", 1);
        profile.writeString("DIAGNOSTICS", "RELAY_BOARD_BASE_ADDR", "378");
        profile.writeInt("DIAGNOSTICS", "DOWNLOAD_DAC", 0);
        profile.writeInt("DIAGNOSTICS", "GAIN_DIAGNOSTIC_FILES", 3);
        // The bench's white panel fills the sensor at index 7; index 2 quarters it.
        profile.writeInt("GAIN_PARAMETERS", "GAIN_WHITE_EXPOSURE", 2);
    }
    int run(int passes) {
        GainRunOptions o;
        o.passes = passes;
        return createGainRun(station, o);
    }
    std::string file(const char* name) {
        std::ifstream in(dir / name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::vector<std::uint16_t> frame(const char* name) {
        std::vector<std::uint16_t> f;
        EXPECT_TRUE(process::ReadMono16Input(dir / name, f, nullptr)) << name;
        return f;
    }
    // The run's calculation again from its working files, to look at its lists.
    std::unique_ptr<SensorCalibration> recalculate() {
        auto cal = std::make_unique<SensorCalibration>(BlemishParams{});
        cal->accumulateWhite(frame("a.tif"));
        cal->storeDark(frame("z.tif"));
        cal->storeReset(frame("r.tif"));
        cal->checkBlue(frame("c.tif"));
        cal->calculate();
        return cal;
    }
};

template <typename List>
bool has(const List& entries, int p, int l, int s) {
    return std::any_of(entries.begin(), entries.end(),
                       [&](const auto& e) { return e.plane == p && e.line == l && e.sample == s; });
}

std::string where(const camsim::SensorDefect& d) {
    return camsim::formatSensorDefects({d});
}

// Every pixel kind of a seeded sensor, each where the calibration sorts it; every listed pixel
// is in the encoded blemish list as our decoder reads it back.
void checkSeededSensor(bool led, std::uint32_t seed) {
    SCOPED_TRACE((led ? "LED station, seed " : "flash station, seed ") + std::to_string(seed));
    camsim::BenchStationOptions options;
    options.sensorDefects = camsim::seededSensorDefects(seed, 3);
    BenchRig rig(options, led);
    rig.run(2);
    const auto cal = rig.recalculate();
    DecodedBlemishList list;
    ASSERT_TRUE(decodeBlemishList(cal->encodedBlemishList(), list));
    auto clustered = [&](int p, int l, int s) {
        return has(list.clusters, p, l, s) || has(list.blobs, p, l, s);
    };
    std::map<Kind, int> planted;
    long ceilingPixels = 0, ceilingPairs = 0;
    for (const auto& d : options.sensorDefects) {
        ++planted[d.kind];
        const std::string what = where(d);
        const std::uint16_t code = cal->blemishMap()[static_cast<std::size_t>(
            SensorCalibration::mapIndex(d.plane, d.line, d.sample))];
        switch (d.kind) {
        case Kind::Dead:
        case Kind::Strong:
            EXPECT_TRUE(has(cal->isolatedList().entries, d.plane, d.line, d.sample)) << what;
            EXPECT_TRUE(has(list.isolated, d.plane, d.line, d.sample)) << what;
            break;
        case Kind::Hot:
            EXPECT_TRUE(has(cal->isolatedDarkList().entries, d.plane, d.line, d.sample)) << what;
            EXPECT_TRUE(has(list.isolated, d.plane, d.line, d.sample)) << what;
            break;
        case Kind::Weak: // an excessive gain; listed for correction when the coder needs it
            EXPECT_TRUE(code == kMarkExcessGain || code == 5) << what << code;
            break;
        case Kind::Row: {
            const auto row = std::find_if(list.rows.begin(), list.rows.end(), [&](const auto& r) {
                return r.plane == d.plane && r.line == d.line && r.sample == d.sample;
            });
            ASSERT_NE(row, list.rows.end()) << what;
            EXPECT_EQ(row->length, d.length) << what;
            break;
        }
        case Kind::Column: {
            const bool covered =
                std::any_of(list.columns.begin(), list.columns.end(), [&](const auto& c) {
                    return c.plane == d.plane && c.sample == d.sample && c.line <= d.line &&
                           c.line + c.length >= d.line + d.length;
                });
            EXPECT_TRUE(covered) << what;
            break;
        }
        case Kind::Cluster:
            for (int k = 0; k < 4; ++k)
                EXPECT_TRUE(has(list.clusters, d.plane, d.line + k / 2, d.sample + k % 2))
                    << what << k;
            break;
        case Kind::Blob:
            // The upper line's inner pixels are blobs (each with a clean pixel above), the
            // rest clustered.
            for (int k = 0; k < d.length; ++k) {
                const bool inner = k > 0 && k < d.length - 1;
                EXPECT_EQ(has(list.blobs, d.plane, d.line, d.sample + k), inner) << what << k;
                EXPECT_TRUE(clustered(d.plane, d.line, d.sample + k)) << what << k;
                EXPECT_TRUE(clustered(d.plane, d.line + 1, d.sample + k)) << what << k;
            }
            break;
        case Kind::Dye: {
            const auto& patches = cal->colourPatches();
            const bool patch = std::any_of(patches.begin(), patches.end(), [&](const auto& c) {
                return c.plane == d.plane && c.line == d.line && c.sample == d.sample &&
                       c.area >= 4;
            });
            EXPECT_TRUE(patch) << what;
            for (int k = 0; k < 4; ++k)
                EXPECT_TRUE(clustered(d.plane, d.line + k / 2, d.sample + k % 2)) << what << k;
            break;
        }
        case Kind::DoubleRow:
            EXPECT_EQ(cal->doubleRow(), d.length) << what;
            for (int k = 0; k < 2 * d.length; ++k)
                EXPECT_TRUE(clustered(d.plane, d.line + k % 2, d.sample + k / 2)) << what << k;
            break;
        case Kind::DoubleColumn:
            EXPECT_EQ(cal->doubleColumn(), d.length) << what;
            for (int k = 0; k < 2 * d.length; ++k)
                EXPECT_TRUE(clustered(d.plane, d.line + k / 2, d.sample + k % 2)) << what << k;
            break;
        case Kind::ClusterRow:
            EXPECT_EQ(cal->rowOfClusters(), d.length) << what;
            for (int k = 0; k < d.length; ++k)
                EXPECT_TRUE(clustered(d.plane, d.line + 1, d.sample + k)) << what << k;
            break;
        case Kind::ClusterColumn:
            EXPECT_EQ(cal->columnOfClusters(), d.length) << what;
            for (int k = 0; k < d.length; ++k)
                EXPECT_TRUE(clustered(d.plane, d.line + k, d.sample + 1)) << what << k;
            break;
        case Kind::Ceiling:
            ceilingPixels += d.length;
            ceilingPairs += d.length - 1;
            for (int k = 0; k < d.length; ++k)
                EXPECT_TRUE(has(list.clusters, d.plane, d.line + k, 479)) << what << k;
            break;
        case Kind::DarkCurrent: // on the dark level of DAC 16
            EXPECT_NEAR(cal->darkAverage(), 96 + d.level, 0.5) << what;
            break;
        case Kind::Noise:
            EXPECT_NEAR(cal->darkDeviation(), d.level, 0.25) << what;
            break;
        case Kind::Vignetting:
            break;
        }
    }
    EXPECT_EQ(cal->ceilingCounts().detected, ceilingPixels);
    EXPECT_EQ(cal->ceilingPairs(), ceilingPairs);
    // Beside the dyes, noise in the bright blue plane finds a few.
    EXPECT_GE(cal->colourDyePixels(), 4 * planted[Kind::Dye]);
    EXPECT_GE(cal->excessiveGains(), planted[Kind::Weak]);
    for (const Kind kind :
         {Kind::Dead, Kind::Hot, Kind::Row, Kind::Cluster, Kind::Weak, Kind::Strong, Kind::Blob,
          Kind::Dye, Kind::DoubleRow, Kind::DoubleColumn, Kind::ClusterRow, Kind::ClusterColumn,
          Kind::Ceiling, Kind::Column, Kind::DarkCurrent, Kind::Noise})
        EXPECT_GT(planted[kind], 0) << int(kind);
    // The double rows and rows of clusters fail the sensor; the report says so.
    const std::string report = rig.file("r.txt");
    for (const char* failure : {"Double rows. Largest double row", "Double columns. Largest",
                                "Rows of Clusters. Largest row", "Columns of Clusters. Largest"})
        EXPECT_NE(report.find(std::string("FAILURE: ") + failure), std::string::npos) << failure;
}

TEST(BenchSensor, SeededDefectsAreFoundInTheirClassesAndListed) {
    checkSeededSensor(true, 5);
    checkSeededSensor(false, 9);
}

// A sensor without defects passes on both kinds of station, noiseless or with dark current
// and noise planted.
TEST(BenchSensor, CleanSensorPassesOnBothStations) {
    struct Row {
        bool led;
        double darkCurrent;
        double noise;
    };
    for (const Row& row : {Row{true, 0, 0}, Row{false, 0, 1.5}, Row{false, 6, 2.0}}) {
        camsim::BenchStationOptions options;
        camsim::SensorDefect dark{Kind::DarkCurrent};
        dark.level = row.darkCurrent;
        camsim::SensorDefect noise{Kind::Noise};
        noise.level = row.noise;
        options.sensorDefects = {dark, noise};
        BenchRig rig(options, row.led);
        EXPECT_EQ(rig.run(2), 0) << rig.station.errorText;
        const std::string report = rig.file("r.txt");
        EXPECT_NE(report.find("Sensor:\tPASSED\n"), std::string::npos) << report;
    }
}

// White frames of a bench sensor in a shaded corner of radius `radius`, as the LED station
// takes them at index 2 (not compensated: the dark level of DAC 16 is in them).
std::unique_ptr<SensorCalibration> shadedRun(int corner, int radius) {
    camsim::SensorDefect shadow{Kind::Vignetting, corner, 0, 0, radius};
    auto cal = std::make_unique<SensorCalibration>(BlemishParams{});
    for (std::uint32_t pass = 0; pass < 2; ++pass) {
        auto mosaic =
            camsim::benchFrame(camsim::Scene::WhitePanel, 16, 11, 0.25, false, 1.5, 100 + pass);
        camsim::applySensorDefects({shadow}, mosaic, 96, camsim::Lighting::White);
        cal->accumulateWhite(process::UnpackMosaic(process::PackMosaic(mosaic.data(), 0), 6));
    }
    return cal;
}

// The measure finds the planted shadow whole and in its corner; the checks judge its area.
TEST(BenchSensor, VignettingIsMeasuredInItsCorner) {
    for (int corner = 0; corner < 4; ++corner)
        for (const int radius : {20, 72}) {
            const auto cal = shadedRun(corner, radius);
            cal->createGains();
            const camsim::SensorDefect shadow{Kind::Vignetting, corner, 0, 0, radius};
            EXPECT_EQ(cal->vignettingArea(), camsim::vignettingArea(shadow)) << corner << radius;
            EXPECT_EQ(cal->vignettingCorner(), corner) << radius;
        }
    // A flat white measures nothing; scattered dark pixels away from the corners neither.
    std::vector<std::uint16_t> flat(kRawPixels, 300 << 6);
    for (int k = 0; k < 2000; ++k)
        flat[static_cast<std::size_t>(
            SensorCalibration::rawIndex(k % 4, 5 + k % 390, 20 + k % 400))] = 0;
    EXPECT_EQ(measureVignetting(flat).area, 0);
    EXPECT_EQ(measureVignetting(std::vector<std::uint16_t>(10)).area, 0);
}

// White frames whose shaded pixels (at a quarter of the level) fill `area` raw pixels from the
// corner, line by line, spread over the four planes.
std::vector<std::uint16_t> shadedWhite(int corner, long area) {
    std::vector<std::uint16_t> white(kRawPixels, 300 << 6);
    const bool bottom = corner >= 2, right = corner == 0 || corner == 2;
    for (int p = 0; p < 4; ++p) {
        const long n = area / 4 + (p < area % 4 ? 1 : 0);
        for (long i = 0; i < n; ++i) {
            const int l = static_cast<int>(i / 40), s = static_cast<int>(i % 40);
            white[static_cast<std::size_t>(SensorCalibration::rawIndex(
                p, bottom ? kPlaneLines - 1 - l : l, right ? kPlaneSamples - 1 - s : s))] = 75 << 6;
        }
    }
    return white;
}

TEST(BenchSensor, VignettingAreaFailsAboveFourThousandAndWarnsAboveOneThousand) {
    struct Row {
        int corner;
        long area;
        bool fails;
        bool warns;
        const char* report;
        const char* message;
    };
    const Row rows[] = {
        {2, 4001, true, true, "Bottom Right Corner of Image, 4001 Area.\n",
         "Bottom Right Corner of Image. 4001 Area.\n"},
        {3, 4001, true, true, "Bottom Left Corner of Image, 4001 Area.\n",
         "Bottom Left Corner of Image. 4001 Area.\n"},
        {0, 4000, false, true, "Top Right Corner of Image, 4000 Area.\n", ""},
        {1, 1001, false, true, "Top Left Corner of Image, 1001 Area.\n", ""},
        {1, 1000, false, false, "", ""},
    };
    for (const Row& row : rows) {
        SensorCalibration cal({});
        cal.accumulateWhite(shadedWhite(row.corner, row.area));
        cal.storeDark(std::vector<std::uint16_t>(kRawPixels, 20 << 6));
        cal.checkBlue(std::vector<std::uint16_t>(kRawPixels, 200 << 6));
        cal.calculate();
        EXPECT_EQ(cal.vignettingArea(), row.area);
        const std::string& report = cal.report();
        const std::string failure = std::string("FAILURE: Gross Vignetting. \n") + row.report;
        const std::string warning = std::string("WARNING: Gross Vignetting. ") + row.report;
        EXPECT_EQ(report.find(failure) != std::string::npos, row.fails) << row.area << report;
        EXPECT_EQ(report.find(warning) != std::string::npos, row.warns) << row.area;
        if (row.fails) {
            EXPECT_EQ(cal.operatorMessage(),
                      std::string("Sensor Failed!\nGross Vignetting. \n") + row.message);
            EXPECT_EQ(cal.passed(), 0);
            // The failure comes before the warning.
            EXPECT_LT(report.find(failure), report.find(warning));
        }
    }
}

// A gross shadow on the bench station fails the final test with its corner.
TEST(BenchSensor, GrossVignettingFailsTheRun) {
    camsim::BenchStationOptions options;
    const camsim::SensorDefect shadow = camsim::seededVignetting(3, 80);
    options.sensorDefects = {shadow};
    BenchRig rig(options);
    EXPECT_EQ(rig.run(1), 0);
    const std::string report = rig.file("r.txt");
    static const char* const corners[] = {"Top Right", "Top Left", "Bottom Right", "Bottom Left"};
    const std::string line = std::string(corners[shadow.plane]) + " Corner of Image, " +
                             std::to_string(camsim::vignettingArea(shadow)) + " Area.\n";
    EXPECT_NE(report.find("FAILURE: Gross Vignetting. \n" + line), std::string::npos) << report;
    // The first failure is the shadow's (a later check puts the blue image's colour patches,
    // which the shadow's edge makes, into the operator's message).
    EXPECT_EQ(report.find("FAILURE: "), report.find("FAILURE: Gross Vignetting. \n" + line))
        << report;
    EXPECT_NE(report.find("WARNING: Gross Vignetting. " + line), std::string::npos);
}

TEST(BenchSensor, DefectListRoundTripsAndRefusesGarbage) {
    auto defects = camsim::seededSensorDefects(11, 2);
    defects.push_back(camsim::seededVignetting(11, 60));
    const std::string text = camsim::formatSensorDefects(defects);
    std::vector<camsim::SensorDefect> back;
    std::string error;
    ASSERT_TRUE(camsim::parseSensorDefects(text, back, error)) << error;
    EXPECT_EQ(back, defects);

    ASSERT_TRUE(camsim::parseSensorDefects(
        "# planted\ndead 0 10 20\nrow 2 30 40 12\n\nhot 1 5 6 # x\nnoise 1.25\n", back, error));
    ASSERT_EQ(back.size(), 4u);
    EXPECT_EQ(back[1], (camsim::SensorDefect{Kind::Row, 2, 30, 40, 12}));
    EXPECT_EQ(back[3].level, 1.25);
    for (const char* bad :
         {"dead 4 1 1", "row 0 1 470 12", "spot 0 1 1", "column 0 395 1 10", "dead 0 1",
          "dead 0 1 2 3", "dead 0 1 x", "blob 0 10 10 2", "doublerow 0 399 10 12",
          "doublecolumn 0 10 479 12", "ceiling 0 399 2", "vignetting 4 10", "vignetting 0 0",
          "noise -1", "noise nan", "darkcurrent 2000", "cluster 0 399 0", "dye 0 0 479"}) {
        error.clear();
        EXPECT_FALSE(camsim::parseSensorDefects(bad, back, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
        EXPECT_TRUE(back.empty()) << bad;
    }
    // Too many defects, and a file larger than 1 MiB, are refused.
    std::string many;
    for (std::size_t i = 0; i <= camsim::kMaxSensorDefects; ++i)
        many += "dead 0 1 1\n";
    EXPECT_FALSE(camsim::parseSensorDefects(many, back, error));
    ScratchDir dir;
    const auto big = dir / "big.txt";
    ASSERT_TRUE(platform::writeFileAtomically(big, Bytes((1u << 20) + 1, '#')));
    EXPECT_FALSE(camsim::readSensorDefects(big.string(), back, error));
    const auto good = dir / "good.txt";
    ASSERT_TRUE(platform::writeFileAtomically(good, Bytes(text.begin(), text.end())));
    ASSERT_TRUE(camsim::readSensorDefects(good.string(), back, error)) << error;
    EXPECT_EQ(back, defects);
}

} // namespace
} // namespace kv::testing
