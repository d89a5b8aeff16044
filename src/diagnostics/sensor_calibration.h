// The sensor calibration of the final test: gains from averaged white frames, the blemish
// map from gains, dark, reset and blue frames, its classification into rows, columns,
// isolated, clustered, ceiling and blob pixels, the gain repair, the two encoded results
// downloaded to the camera (gain image and blemish list) and the sensor verdict with its
// report text.
//
// Frames are raw frames of 800 lines × 960 samples, 16-bit, the 10-bit value in the top bits.
// The 2×2 mosaic makes four planes of 400 × 480; plane k starts at (line, sample)
// kPlaneStart[k]. The gain frame is a raw frame (gain of raw pixel (y, x) at y × 960 + x,
// 1024 = unity, 65535 = no gain); the blemish map, the reset frame and the colour-delta map are
// plane-interleaved: index 4 × (line × 480 + sample) + plane.
//
// One object per run; it owns every buffer (allocated once, in the constructor). Not
// thread-safe. The operations are called in the order of the run; each works on the results
// of the ones before.
#pragma once

#include "base/bytes.h"

#include <array>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace kv::settings {
class Profile;
}

namespace kv::diagnostics {

inline constexpr int kRawLines = 800;
inline constexpr int kRawSamples = 960;
inline constexpr int kRawPixels = kRawLines * kRawSamples; // 768 000
inline constexpr int kPlaneLines = 400;
inline constexpr int kPlaneSamples = 480;
inline constexpr int kPlanePixels = kPlaneLines * kPlaneSamples; // 192 000
inline constexpr std::size_t kEncodedGainBytes = 387968;
inline constexpr std::size_t kEncodedBlemishBytes = 49152;
inline constexpr std::uint16_t kUnityGain = 1024;
inline constexpr std::uint16_t kNoGain = 65535;

struct PlaneStart {
    int line;
    int sample;
};
inline constexpr std::array<PlaneStart, 4> kPlaneStart{{{1, 1}, {0, 1}, {0, 0}, {1, 0}}};

// Blemish map codes.
inline constexpr std::uint16_t kMarkDark = 0x2000;
inline constexpr std::uint16_t kMarkBadGain = 0x4000;
inline constexpr std::uint16_t kMarkExcessGain = 0x8000;

// The limits of section "BLEMISH_PARAMS".
struct BlemishParams {
    int maxBlackDelta = 150;
    int minBlackFactor = 165;
    int maxColorDeviation = 1024;
    int maxColorPixels = 4;
    int minColorDelta = 13;
    int maxColorDelta = 40;
    int maxExcludedGain = 50;
    int maxGainDelta = 15;
    int maxGainPixel = 240;
    int maxRowAvgDeviation = 30;
    int allowedPatchCnt = 100;
    int allowedPatchArea = 52;
    int allowedColumnPixels = 10;
    int allowedRowPixels = 10000;
    int allowedClusterPixels = 10000;
    int allowedCeilingPixels = 200;
    int allowedSinglePixels = 6000;
    int allowedBlackPixels = 2000;
    int allowedGainPixels = 10000;
    int allowedCodePixels = 10000;
    int allowedFactorPixels = 6000;
    int allowedBlobPixels = 200;
    int allowedAverageDark = 300;
    int allowedAverageWhiteMin = 128;
    int allowedAverageWhiteMax = 400;
    int allowedAverageBlueMin = 50;
    int allowedAverageBlueMax = 400;
    int vignettingFactor = 205;
    int colorExcludeCnt = 10;
};

BlemishParams readBlemishParams(const settings::Profile& profile);

// Camera address of a plane pixel, as the blemish list and the gain corrections give it.
struct CameraAddress {
    std::uint16_t row;
    std::uint16_t column;
};
CameraAddress cameraAddress(int plane, int line, int sample);
// The plane pixel of an address; false when the address names no pixel.
bool planePixel(CameraAddress a, int& plane, int& line, int& sample);

// Entries of the blemish lists, in plane coordinates.
struct DefectRun { // row or column defect
    std::uint8_t plane;
    std::uint16_t line;
    std::uint16_t sample;
    std::uint16_t length;
};
struct ClusterPixel {
    std::uint8_t plane;
    std::uint16_t line;
    std::uint16_t sample;
    std::uint8_t mask;
    std::uint8_t patternClass;
};
struct BlobPixel {
    std::uint8_t plane;
    std::uint16_t line;
    std::uint16_t sample;
    std::uint8_t direction;
};
struct PlanePixel {
    std::uint8_t plane;
    std::uint16_t line;
    std::uint16_t sample;
};
struct GainCorrection {
    CameraAddress address;
    std::uint16_t gain; // 1024 = unity
};

// A list that stops storing at its capacity but keeps counting.
template <typename T>
struct CappedList {
    std::size_t capacity = 0;
    std::vector<T> entries;
    long total = 0;
    void clear() {
        entries.clear();
        total = 0;
    }
    void add(const T& t) {
        if (entries.size() < capacity)
            entries.push_back(t);
        ++total;
    }
    bool full() const { return entries.size() >= capacity; }
};

// Per report class: detected, listed-and-written, and tallies by the pixels' own codes.
struct ClassCounts {
    long detected = 0;
    long included = 0;
    long dead = 0;
    long hot = 0;
    long excess = 0;
};

// A connected group of same-colour pixels of the colour-delta map.
struct ColourPatch {
    std::uint8_t plane;
    std::uint16_t line; // first pixel found (plane coordinates)
    std::uint16_t sample;
    long area;
};

struct ResetStatistics {
    long average = 0;
    long deviation = 0;
    long lowCount = 0;
    long highCount = 0;
    long blemishes = 0;
    long highValue = 65535;
    long ceiling = 65535;
};

enum class ExposureLevel { Accepted, TooDark, TooBright };

// The encoded results read back (the tests' view of what the camera receives).
struct DecodedBlemishList {
    std::uint16_t version = 0;
    std::uint16_t passed = 0;
    std::vector<DefectRun> columns; // plane coordinates, length in the last field
    std::vector<DefectRun> rows;
    std::vector<ClusterPixel> clusters; // mask 0: it is not written
    std::vector<BlobPixel> blobs;
    std::vector<PlanePixel> isolated;
    std::vector<GainCorrection> corrections; // section, then overflow
    bool endMarker = false;
};
// False when the buffer is not 49 152 bytes or a header offset or count leaves it.
bool decodeBlemishList(ByteSpan list, DecodedBlemishList& out);
// The gains of an encoded gain image (v × 8 per pixel, raw frame layout); empty when the
// image is not 387 968 bytes.
std::vector<std::uint16_t> decodeGainImage(ByteSpan image);

// The report's first lines (the date is ctime's text, with its own line feed).
std::string sensorReportHeader(const std::string& cameraName, const std::string& programRevision,
                               const std::string& firmwareRevision, std::time_t now);

class SensorCalibration {
public:
    SensorCalibration(const BlemishParams& params, int diagnosticFiles = 0);

    // Exposures. Frames must hold kRawPixels samples (others are refused: false / TooDark).
    ExposureLevel accumulateWhite(std::span<const std::uint16_t> frame);
    bool checkBlue(std::span<const std::uint16_t> frame);
    bool storeDark(std::span<const std::uint16_t> frame);
    bool storeReset(std::span<const std::uint16_t> frame);

    // The calculation, in the order the run calls it.
    void createGains();
    void buildBlemishMap();
    void smoothGains(std::span<const std::uint16_t> gains, std::span<std::uint16_t> smoothed,
                     std::span<const std::uint16_t> map);
    void darkBlemishes();
    void resetStatistics();
    void colourImageBlemishes();
    void analyseBlemishMap();
    void correctGains(int pass);
    void checkRowAverages();
    const std::vector<std::uint8_t>& encodeGains();
    const std::vector<std::uint8_t>& encodeBlemishList();
    // Colour patches: 4-connected groups of recorded colour deltas within a plane, of at least
    // "MAX_COLOR_PIXELS" pixels, away from the plane's border band of "COLOR_EXCLUDE_CNT"
    // lines and samples. Run by evaluate.
    void findColourPatches();
    const std::vector<ColourPatch>& colourPatches() const { return patches_; }

    // The verdict: runs the checks, appends the report body; 1 = passed.
    int evaluate();
    // The colour levels (B, R, G, T, 10-bit) that even out the four channels: the channel
    // means of the white average, as "Color Matrix" takes them from a white image.
    const std::array<long, 4>& colourCorrections();
    const std::array<long, 4>& colourLevels() const { return colourLevels_; }
    void colourReport(const std::array<long, 4>& levels);

    // Working files. With "GAIN_DIAGNOSTIC_FILES" 2 or more the encoded gain image and blemish
    // list as raw files (`gainFile`, `blemishFile`; an empty name is skipped). With 3 or more,
    // into the working folder: "a.tif" (white average), "z.tif", "r.tif" (when a reset frame
    // was stored) and "b.tif" (blemish map); the intermediate images are written by the steps
    // that make them: "c.tif" (blue frame, before colourImageBlemishes changes it), "s.tif"
    // (scaled gains), "k.tif" (colour deltas) and "g.tif" (coded gains) by encodeGains.
    // False when a file could not be written.
    void setWorkingFolder(const std::filesystem::path& folder) { workingFolder_ = folder; }
    bool saveWorkingFiles(const std::filesystem::path& gainFile = {},
                          const std::filesystem::path& blemishFile = {});

    // The whole calculation after the frames are in (steps "Creating Gain Data" to
    // "Evaluating Blemishes").
    int calculate();

    // Results and state.
    int passed() const { return passFlag_; }
    const std::string& operatorMessage() const { return operatorMessage_; }
    const std::string& report() const { return report_; }
    // The report texts of the checks `evaluate` failed, in order.
    const std::vector<std::string>& failedChecks() const { return failedChecks_; }
    void appendReport(const std::string& text) { report_ += text; }
    void setDacSetting(int dac) { dacSetting_ = dac; }
    void setVignetting(long area, int corner) {
        vignettingArea_ = area;
        vignettingCorner_ = corner;
    }
    // The shaded corner createGains measured (see vignetting.h).
    long vignettingArea() const { return vignettingArea_; }
    int vignettingCorner() const { return vignettingCorner_; }
    bool bluePresent() const { return bluePresent_; }
    double whiteMean() const { return whiteMean_; }
    double whiteDeviation() const { return whiteDeviation_; }
    double blueMean() const { return blueMean_; }
    double scaleFactor() const { return scaleFactor_; }
    double maximumGain() const { return maximumGain_; }
    double darkAverage() const { return darkAverage_; }
    double darkDeviation() const { return darkDeviation_; }
    const ResetStatistics& resetStats() const { return reset_; }

    std::vector<std::uint16_t>& gains() { return gains_; }
    std::vector<std::uint16_t>& blemishMap() { return map_; }
    std::vector<std::uint16_t>& whiteAverage() { return white_; }
    const std::vector<std::uint8_t>& encodedGains() const { return encodedGains_; }
    const std::vector<std::uint8_t>& encodedBlemishList() const { return encodedList_; }

    long badGains() const { return badGains_; }
    long excessiveGains() const { return excessiveGains_; }
    long darkBlemishCount() const { return darkCount_; }
    long colourDyePixels() const { return colourDye_; }

    const CappedList<DefectRun>& rowList() const { return rows_; }
    const CappedList<DefectRun>& columnList() const { return columns_; }
    const CappedList<ClusterPixel>& clusterList() const { return clusters_; }
    const CappedList<BlobPixel>& blobList() const { return blobs_; }
    const CappedList<PlanePixel>& isolatedList() const { return isolated_; }
    const CappedList<PlanePixel>& isolatedDarkList() const { return isolatedDark_; }
    const CappedList<GainCorrection>& excessiveGainList() const { return excessList_; }
    const CappedList<GainCorrection>& encodeFailureList() const { return encodeList_; }
    const CappedList<GainCorrection>& outOfRangeList() const { return rangeList_; }
    long ceilingPairs() const { return ceilingPairs_; }
    long correctionsWritten() const { return correctionsWritten_; }
    long firstExcludedGain() const { return firstExcluded_; }
    long doubleRow() const { return doubleRow_; }
    long doubleColumn() const { return doubleColumn_; }
    long rowOfClusters() const { return rowOfClusters_; }
    long columnOfClusters() const { return columnOfClusters_; }
    const ClassCounts& rowCounts() const { return rowClass_; }
    const ClassCounts& columnCounts() const { return columnClass_; }
    const ClassCounts& isolatedCounts() const { return isolatedClass_; }
    const ClassCounts& clusterCounts() const { return clusterClass_; }
    const ClassCounts& ceilingCounts() const { return ceilingClass_; }
    const ClassCounts& blobCounts() const { return blobClass_; }

    static int mapIndex(int plane, int line, int sample) {
        return 4 * (line * kPlaneSamples + sample) + plane;
    }
    static int rawIndex(int plane, int line, int sample) {
        return (kPlaneStart[plane].line + 2 * line) * kRawSamples + kPlaneStart[plane].sample +
               2 * sample;
    }

private:
    std::uint16_t& code(int plane, int line, int sample) {
        return map_[mapIndex(plane, line, sample)];
    }
    bool marked(int plane, int line, int sample) {
        auto c = code(plane, line, sample);
        return c == kMarkBadGain || c == kMarkDark;
    }
    void tally(ClassCounts& counts, std::uint16_t c);
    void scanRuns(bool alongLines);
    void classifyPixel(int plane, int line, int sample);
    void weightedRepair(int plane, int line, int sample, bool row);
    void writeIntermediate(const char* name, const std::vector<std::uint16_t>& frame);
    std::uint16_t gainAt(int y, int x) const;

    BlemishParams params_;
    int diagnosticFiles_;
    std::filesystem::path workingFolder_;
    bool workingFilesFailed_ = false;

    std::vector<std::uint32_t> whiteSum_;
    std::vector<std::uint16_t> white_, white64_, gains_, map_, deviation_, dark_, reset_frame_,
        blue_, smoothed_, work_, colourDelta_;
    std::vector<std::uint8_t> encodedGains_, encodedList_;

    int passes_ = 0;
    bool bluePresent_ = false;
    bool resetPresent_ = false;
    int passFlag_ = 0;
    std::string operatorMessage_;
    std::string report_;
    std::vector<std::string> failedChecks_;

    double whiteExposureMean_ = 0, whiteMean_ = 0, whiteDeviation_ = 0, blueMean_ = 0;
    double scaleFactor_ = 1, maximumGain_ = 1;
    double darkAverage_ = 0, darkDeviation_ = 0;
    ResetStatistics reset_;
    int dacSetting_ = 0;
    std::array<long, 4> colourLevels_{1024, 1024, 1024, 1024};
    long vignettingArea_ = 0;
    int vignettingCorner_ = 0;

    long badGains_ = 0, excessiveGains_ = 0, darkCount_ = 0, colourDye_ = 0;
    long colourCorrected_ = 0, minColourDelta_ = 0, maxColourDelta_ = 0;

    CappedList<DefectRun> rows_, columns_;
    CappedList<ClusterPixel> clusters_;
    CappedList<BlobPixel> blobs_;
    CappedList<PlanePixel> isolated_, isolatedDark_;
    CappedList<GainCorrection> excessList_, encodeList_, rangeList_;
    std::vector<std::array<std::uint16_t, 3>> excessSaved_; // gain, raw sample, raw line
    long ceilingPairs_ = 0;
    std::vector<ColourPatch> patches_;
    long doubleRow_ = 0, doubleColumn_ = 0, rowOfClusters_ = 0, columnOfClusters_ = 0;
    long rowClusterTally_ = 0, columnClusterTally_ = 0;
    ClassCounts rowClass_, columnClass_, isolatedClass_, clusterClass_, ceilingClass_, blobClass_;
    long rowsWritten_ = 0, columnsWritten_ = 0; // entries in the encoded list
    long correctionsWritten_ = 0;
    long firstExcluded_ = kUnityGain;
};

} // namespace kv::diagnostics
