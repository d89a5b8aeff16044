// BenchCamera: the camera seen from the other end of the wire, on a pseudo-terminal. It
// honours the command table's framing and reply lengths, the ping byte and the state notices
// 'b', 'r' and 'd', answers the status line from its own state, switches its own bit rate with
// "K0" (and hears nothing while the host's rate differs), and injects faults from a fixed
// seed. Tests start it in-process; `kvcamsim` runs one and prints its device path.
//
// Commands are handled by a table keyed by the two command letters. The transfer commands are
// added by registerTransferCommands() (tools/camsim/transfer_commands.h); anyone may add or
// replace handlers with addHandler() before or while the camera runs.
//
// Threads: one camera thread reads the wire and runs the handlers. The state is guarded by a
// mutex: use withState() (or lock()) from any thread, including handlers.
#pragma once

#include "base/bytes.h"

#include <any>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kv::platform {
class PseudoTerminal;
}

namespace kv::camsim {

enum class CameraKind {
    Plain,      // no memory card, no second-variant bit
    MemoryCard, // type bit 10: pictures are files on a card
    VariantB,   // type bit 12: the second variant (JPEG pictures)
};

// Faults, all off by default. Random choices come from `seed`, so a run repeats exactly.
struct FaultOptions {
    std::uint32_t seed = 1;
    double corruptRate = 0;   // chance per sent byte that it is replaced by a random value
    double dropRate = 0;      // chance per sent byte that it is lost
    double stateByteRate = 0; // chance per reply byte that an 'r' or 'd' is put before it
                              // (and that a reply starts with 'b')
    bool silent = false;      // reads everything, answers nothing (not even pings)
    long pullCableAfter = -1; // the cable is pulled (the device vanishes) after this many
                              // sent bytes; -1 = never
    std::chrono::milliseconds busyAfterCommand{0}; // busy for this long after every command
    std::string refuseCommand;   // two letters answered with "NG\r\n" instead of handled
    int paceRate = 0;            // send no faster than this many bit/s (10 bits a byte); 0 = off
    bool paceAtLinkRate = false; // pace at the camera's own current rate
    std::string garbageCommand;  // two letters answered with a line of noise ending in CR LF
    int garbageAfter = 0;        // ... once it was answered properly this many times
    std::string lateCommand;     // two letters answered only after lateBy
    std::chrono::milliseconds lateBy{0};
    // The slow rows (select, end read, open and close a card file, a card camera's status)
    // take this long before they answer, as a camera busy with its memory does.
    std::chrono::milliseconds slowRows{0};
};

struct BenchCameraOptions {
    CameraKind kind = CameraKind::Plain;
    std::string firmware = "3.01";
    std::int32_t serialNumber = 1090518974;
    int initialRate = 9600;
    std::vector<int> supportedRates = {9600, 19200, 38400, 57600, 115200};
    // When true the camera hears nothing useful while the host's line rate differs from its
    // own: what it receives is noise, and the host sees noise come back.
    bool checkRate = true;
    // How long the camera is busy after "P0" (it answers pings with 'b' meanwhile).
    std::chrono::milliseconds pictureBusy{0};
    // An item (from 1) of the standard content whose item line never reads the same twice;
    // 0 = none.
    int unreadableItem = 0;
    FaultOptions faults;
};

// The camera's own state (settings, counters, the rate). Extensions (the transfer side's item
// store and memories) live in `extra` under a name of their own.
struct CameraState {
    std::uint16_t type = 0;
    std::string firmware;
    std::int32_t serialNumber = 0;
    int pictures = 0;
    int battery = 999;
    int errorStatus = 0;
    int exposure = 4;
    int autoExposure = 0;
    int flash = 1;
    int quality = 0;
    int compression = 0;
    int sound = 1;
    int number = 0;
    int rate = 9600;
    int pingMode = 1;
    bool statusChanged = false; // the next ping is answered 'd'
    std::chrono::steady_clock::time_point busyUntil{};
    std::map<std::string, std::any> extra;
};

// One command line as received, without CR LF: "B0;3,0,0,0" -> code "B0", args {"3","0","0","0"}.
struct BenchCommand {
    std::string line;
    std::string code;
    std::vector<std::string> args;
    // Argument `i` as a decimal number, or `fallback` when missing or not a number.
    long number(std::size_t i, long fallback = 0) const;
    std::size_t count() const { return args.size(); }
};

class BenchCamera;
using CommandHandler = std::function<void(BenchCamera&, const BenchCommand&)>;

class BenchCamera {
public:
    // Opens the pseudo-terminal and starts the camera thread. Check ok() afterwards.
    explicit BenchCamera(BenchCameraOptions options = {});
    // Stops the thread and closes the pseudo-terminal.
    ~BenchCamera();
    BenchCamera(const BenchCamera&) = delete;
    BenchCamera& operator=(const BenchCamera&) = delete;

    bool ok() const { return ok_; }
    // The device path the host opens (put it under "PORTS" as COM1..COM4).
    const std::string& devicePath() const { return devicePath_; }
    const BenchCameraOptions& options() const { return options_; }

    // ---- the handler table ----
    void addHandler(std::string code, CommandHandler handler);
    bool hasHandler(std::string_view code) const;
    // The handler of `code` (empty when none): for extensions that wrap a handler.
    CommandHandler handler(std::string_view code) const;

    // ---- state ----
    std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(stateMutex_); }
    CameraState& state() { return state_; } // only with lock() held
    template <class F>
    auto withState(F f) {
        std::lock_guard<std::mutex> guard(stateMutex_);
        return f(state_);
    }
    // The status line the camera would send now (128 bytes ending in CR LF).
    std::string statusLine();
    void setFaults(const FaultOptions& faults);

    // ---- for handlers (camera thread) ----
    // A reply line; fault injection and state bytes apply.
    void sendReply(std::string_view text);
    void sendOk() { sendReply("OK\r\n"); }
    void sendRefusal() { sendReply("NG\r\n"); }
    // A raw data phase; corruption, drops, pacing and the cable apply, no state bytes.
    void sendRaw(ByteSpan bytes);
    // Receives exactly `count` raw bytes from the host within `limit`; false on time-out or a
    // closed line.
    bool receiveRaw(std::uint8_t* buffer, std::size_t count, std::chrono::milliseconds limit);
    // Makes the camera busy for `period` from now.
    void setBusyFor(std::chrono::milliseconds period);
    // The next ping is answered 'd'.
    void markStatusChanged();

    // ---- observation (any thread) ----
    // Every command line received, in order (without CR LF).
    std::vector<std::string> commandLog();
    // Everything received from the host, ping bytes included.
    Bytes received();
    std::size_t pingCount() const { return pings_.load(); }
    std::size_t bytesSent() const { return sent_.load(); }
    // Waits until `predicate` (called with the command log) holds, at most `limit`.
    bool waitForCommands(const std::function<bool(const std::vector<std::string>&)>& predicate,
                         std::chrono::milliseconds limit);
    bool waitForPings(std::size_t count, std::chrono::milliseconds limit);
    void clearLogs();

    // Pulls the cable now: the host side's device vanishes (reads fail).
    void pullCable();
    bool cablePulled() const { return pulled_.load(); }

private:
    void run();
    void handleLine(const std::string& line);
    void handlePing();
    void sendBytes(ByteSpan bytes, bool reply);
    // What a camera at the wrong rate sends back: bytes no one can read.
    void sendNoise(std::size_t count);
    void waitWhileBusy();
    bool hostRateMatches();
    void logReceived(ByteSpan bytes);
    void registerBaseCommands();
    bool chance(double rate);

    BenchCameraOptions options_;
    std::unique_ptr<platform::PseudoTerminal> pty_;
    std::string devicePath_;
    bool ok_ = false;

    mutable std::mutex handlersMutex_;
    std::map<std::string, CommandHandler, std::less<>> handlers_;

    std::mutex stateMutex_;
    CameraState state_;
    FaultOptions faults_;
    std::mt19937 random_;

    std::mutex logMutex_;
    std::condition_variable logChanged_;
    std::vector<std::string> commandLog_;
    Bytes received_;
    std::atomic<std::size_t> pings_{0};
    std::atomic<std::size_t> sent_{0};

    // How often garbageCommand was answered properly since setFaults (camera thread only).
    int garbageCount_ = 0;
    // Paced lines: when the last byte sent will have arrived (camera thread only).
    std::chrono::steady_clock::time_point lineFreeAt_{};
    std::atomic<bool> stop_{false};
    std::atomic<bool> pulled_{false};
    std::atomic<bool> pullRequested_{false};
    // Bytes read from the wire but not yet taken by the line reader (receiveRaw takes them).
    Bytes pending_;
    std::size_t pendingAt_ = 0;
    std::thread thread_;
};

} // namespace kv::camsim
