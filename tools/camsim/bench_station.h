// BenchStation: the bench camera grown into a factory station. Its sensor sees what the
// station's outputs show (dark, the white or blue LED panel, the blue flash filter, the
// neutral target), its black level follows the DAC setting of its parameters around a DAC
// offset of its own, it takes firmware as S-records (and reports a new firmware version after
// a good download), it is given a serial number in two steps ("D5" then "L0"), and a
// microphone records what the station's loudspeaker plays. The relay board and the light
// controller are recorders whose writes also change the scene.
//
// Time is virtual: the station procedures wait on clock(), which returns at once.
// Threads: the camera's handlers run on the camera thread; everything here is guarded by one
// mutex and may be called from any thread.
#pragma once

#include "base/clock.h"
#include "base/sound_output.h"
#include "camsim/bench_camera.h"
#include "diagnostics/station_outputs.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kv::camsim {

// A planted sensor defect, in the coordinates of the sensor's four colour planes (plane k
// starts at raw line/sample (1,1), (0,1), (0,0), (1,0); plane lines and samples are 2 apart).
// Pixel kinds, at (`plane`, `line`, `sample`):
//   dead          a tenth of the light above the dark level
//   hot           600 codes above its level in every picture
//   weak, strong  in light it reads 85 % or 60 % of what its neighbours read (the gains see
//                 the whole reading, dark level included: a weak gain is one the calibration
//                 keeps but marks, a strong one one it replaces)
//   row, column   `length` dead pixels along the plane line or sample
//   double row, double column   two such runs side by side
//   cluster row, cluster column a run of weak pixels (above, or to the left) beside a dead run
//   cluster       a 2 x 2 block of dead pixels
//   blob          a dead block of 2 lines x `length` samples (3 or more)
//   dye           a 2 x 2 block whose filter passes more blue: 1.6 times the reading in blue
//                 light, as its neighbours in white light
//   ceiling       `length` pixels down the last plane sample (479) from `line` that saturate
//                 early, 40 codes above their dark level
// Sensor-wide kinds:
//   vignetting    a shadow over the raw pixels within `length` of the image corner `plane`
//                 names (0 top right, 1 top left, 2 bottom right, 3 bottom left; the top is
//                 raw line 0, the left raw sample 0) where the pixels read 30 % in light
//   dark current  `level` codes on every sample of a picture the camera does not compensate
//   noise         `level` is the standard deviation of every sample (codes), in place of the
//                 station's option
struct SensorDefect {
    enum class Kind {
        Dead,
        Hot,
        Row,
        Column,
        Cluster,
        Weak,
        Strong,
        DoubleRow,
        DoubleColumn,
        ClusterRow,
        ClusterColumn,
        Blob,
        Dye,
        Ceiling,
        Vignetting,
        DarkCurrent,
        Noise
    };
    Kind kind = Kind::Dead;
    int plane = 0;
    int line = 0;
    int sample = 0;
    int length = 1;
    double level = 0;
    bool operator==(const SensorDefect&) const = default;
};

// Lists longer than this are refused.
inline constexpr std::size_t kMaxSensorDefects = 20000;

// The text form, one defect a line:
//   "dead|hot|weak|strong|cluster|dye PLANE LINE SAMPLE",
//   "row|column|doublerow|doublecolumn|clusterrow|clustercolumn|blob PLANE LINE SAMPLE LENGTH",
//   "ceiling PLANE LINE LENGTH", "vignetting CORNER RADIUS", "darkcurrent CODES",
//   "noise DEVIATION" (the two last may have decimals);
// blank lines and '#' comments are skipped. Every pixel a defect touches must lie inside the
// plane (400 x 480). False with `error` naming the bad line.
bool parseSensorDefects(std::string_view text, std::vector<SensorDefect>& out, std::string& error);
// The same from a file (at most 1 MiB).
bool readSensorDefects(const std::string& path, std::vector<SensorDefect>& out, std::string& error);
// The text form of a list, which parseSensorDefects reads back to the same list.
std::string formatSensorDefects(const std::vector<SensorDefect>& defects);
// A seeded sensor: `count` dead, hot, weak and strong pixels, rows, clusters, blobs and dyes,
// one double row, double column, cluster row and cluster column, spread over a grid so that
// none touches another; a single ceiling pixel and a pair; one column in a sample column of
// its own; the sensor's dark current and noise. No vignetting (seededVignetting).
std::vector<SensorDefect> seededSensorDefects(std::uint32_t seed, int count);
// A vignetting shadow in a corner chosen by `seed`, of `radius` raw pixels.
SensorDefect seededVignetting(std::uint32_t seed, int radius);
// The raw pixels a vignetting defect shadows.
long vignettingArea(const SensorDefect& vignetting);
// The light of a picture, as the defects see it.
enum class Lighting { Dark, White, Blue };
// Applies the pixel defects and the vignetting to a frame of 10-bit samples (960 x 800) whose
// dark level is `darkLevel`. Dark current and noise are the frame's own (benchFrame).
void applySensorDefects(const std::vector<SensorDefect>& defects, std::vector<std::uint16_t>& frame,
                        int darkLevel, Lighting lighting = Lighting::White);

struct BenchStationOptions {
    // The DAC setting at which the dark level reads 8 codes; each DAC step moves it by 16.
    int dacZero = 11;
    double sensorNoise = 1.5; // standard deviation of the samples, 10-bit codes
    std::uint32_t seed = 7;
    // Microphone: the two tones' amplitudes (16-bit units) and the noise's deviation.
    double highToneLevel = 6000;
    double lowToneLevel = 6000;
    double micNoise = 300;
    long periodHigh = 600; // ticks of 1/625 000 s, as the station's sound file plays them
    long periodLow = 800;
    long micRate = 8000;
    // Faults.
    int refuseRecord = 0;         // S-record number (1-based) the camera refuses; 0 = none
    int refuseRecordTimes = 0;    // how often (8 or more: always)
    int corruptBlockReply = 0;    // download block (1-based, of D1/D2/D3/U1) whose "OK\r\n"
    int corruptBlockTimes = 0;    // comes back corrupted this many times
    long flipStoredGainByte = -1; // byte of the gain image inverted as the flash stores it
    bool relayMissing = false;    // the relay board refuses every write
    bool lightMissing = false;    // the light controller refuses every write
    std::vector<SensorDefect> sensorDefects; // planted in every picture the station takes
};

// One write to a station output, in order.
struct OutputWrite {
    enum class Device { Relay, Light } device;
    unsigned address = 0; // relay: the I/O base address
    Bytes bytes;
    bool operator==(const OutputWrite&) const = default;
};

// What the sensor sees, from the outputs last written (FlashLit: the white target in the
// camera's own flash, which a calibration picture fires when the flash is on).
enum class Scene { NeutralTarget, Dark, WhitePanel, BluePanel, BlueFilter, FocusTarget, FlashLit };

class BenchStation {
public:
    // Adds the station's commands to `camera` (which must outlive this object's use of it).
    BenchStation(BenchCamera& camera, BenchStationOptions options = {});
    ~BenchStation();
    BenchStation(const BenchStation&) = delete;
    BenchStation& operator=(const BenchStation&) = delete;

    VirtualClock& clock() { return clock_; }
    diagnostics::StationDevices& devices();
    SoundOutput& loudspeaker();

    std::vector<OutputWrite> outputLog() const;
    // Every download block announced (D1, D2, D3, U1), retries included: the command line.
    std::vector<std::string> blockLog() const;
    Scene scene() const;
    // The microphone's recording of `seconds`: 16-bit little-endian samples at micRate, the
    // two tones while the loudspeaker plays the test sound, noise always.
    Bytes record(double seconds) const;
    // For a station program in another process (kvcamsim --station): the relay board and the
    // light controller as two pseudo-terminals whose bytes reach the recorders. Returns the
    // two device paths (relay, lights) to put under "PORTS"; empty on failure.
    std::pair<std::string, std::string> startOutputLines();

    // The loudspeaker's last volume and file.
    std::uint16_t volume() const;
    std::string playing() const;

    struct Model;

private:
    BenchCamera& camera_;
    VirtualClock clock_;
    std::shared_ptr<Model> model_;
    std::unique_ptr<diagnostics::StationDevices> devices_;
    std::unique_ptr<SoundOutput> speaker_;
    struct Lines;
    std::unique_ptr<Lines> lines_;
};

// The frame the sensor gives for `scene` at DAC setting `dac` (10-bit samples in a 960 x 800
// mosaic, row 0 at the top), with the dark level (and `darkCurrent` codes on it) removed when
// `compensated`. Deterministic for a seed; the noise comes from a table of 4096 normal values
// picked by a linear congruential sequence, so a frame costs no more than a pass over it.
std::vector<std::uint16_t> benchFrame(Scene scene, int dac, int dacZero, double exposure,
                                      bool compensated, double noise, std::uint32_t seed,
                                      double darkCurrent = 0);
// The dark level of benchFrame (codes).
double benchDarkLevel(int dac, int dacZero, bool compensated, double darkCurrent = 0);

} // namespace kv::camsim
