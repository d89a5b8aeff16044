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

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kv::camsim {

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
    int refuseRecord = 0;      // S-record number (1-based) the camera refuses; 0 = none
    int refuseRecordTimes = 0; // how often (8 or more: always)
    int corruptBlockReply = 0; // download block (1-based, of D1/D2/D3/U1) whose "OK\r\n"
    int corruptBlockTimes = 0; // comes back corrupted this many times
    bool relayMissing = false; // the relay board refuses every write
    bool lightMissing = false; // the light controller refuses every write
};

// One write to a station output, in order.
struct OutputWrite {
    enum class Device { Relay, Light } device;
    unsigned address = 0; // relay: the I/O base address
    Bytes bytes;
    bool operator==(const OutputWrite&) const = default;
};

// What the sensor sees, from the outputs last written.
enum class Scene { NeutralTarget, Dark, WhitePanel, BluePanel, BlueFilter, FocusTarget };

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
// mosaic, row 0 at the top), with the dark level removed when `compensated`. Deterministic
// for a seed.
std::vector<std::uint16_t> benchFrame(Scene scene, int dac, int dacZero, double exposure,
                                      bool compensated, double noise, std::uint32_t seed);

} // namespace kv::camsim
