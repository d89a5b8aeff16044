// CameraLink: one camera on one serial port. The protocol side sends commands and reads their
// replies; the session side detects the camera, changes its bit rate, keeps it pinged from a
// background thread and owns the transfer worker of a retrieval.
//
// Ownership: a CameraLink owns its SerialPort, its status, its ping thread and its worker.
// Threads: the thread issuing commands (GUI or tool), the ping thread and the transfer
// worker. The shared words are atomics, the status is read as a whole copy taken under its
// lock, and the wire is kept orderly by the ping hand-shake — before talking to the camera,
// any thread but the ping thread calls holdPings() (forbid pings, wait while one is on the
// wire) and releasePings() afterwards. Holds are counted, so holds of several threads (or
// nested ones) keep pings off until the last is released. execute() does this itself; code
// with raw data phases (transfers) wraps them in a PingHold.
//
// Resynchronisation: before each command the input that is already waiting is discarded, and
// after a reply timed out or was not understood the next command first waits for the line to
// fall quiet, so a late reply is never taken for the reply of the next command.
#pragma once

#include "base/bytes.h"
#include "base/clock.h"
#include "base/result.h"
#include "camera/camera_events.h"
#include "camera/camera_status.h"
#include "camera/camera_worker.h"
#include "camera/command_table.h"
#include "camera/serial_port.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kv::camera {

enum class LinkState : int {
    Ready = 0,        // the camera answered a ping with 'r' or 'd', or a connect finished
    Busy = 1,         // the camera answered a ping with 'b'; commands wait
    Connected = 2,    // detection succeeded (transient, during connect)
    NotConnected = 3, // initial; connecting; detection failed
    Lost = 4,         // five pings in a row failed, or the object is being destroyed
    NoAnswer = 5,     // the last ping failed (fewer than five in a row); block downloads
};
const char* linkStateName(LinkState state);

// The waits of the link. The defaults are the real camera's; tests shorten them.
struct LinkTiming {
    std::chrono::milliseconds serialTimeout = kSerialTimeoutBase; // T of the SerialPort
    std::chrono::milliseconds pingInterval{500};    // ping thread: sleep after each ping
    std::chrono::milliseconds handshakePoll{100};   // waiting for a ping on the wire to end
    std::chrono::milliseconds busyPoll{500};        // execute on a Busy link, at most 10 times
    std::chrono::milliseconds shutdownPoll{500};    // destructor waiting for the ping thread
    std::chrono::milliseconds longWaitSleep{10};    // between the long wait's reply reads
    std::chrono::milliseconds statusRetrySleep{50}; // connect: before each status request
};

struct LinkOptions {
    // The device behind the port name; empty = section "PORTS" of the settings.
    std::string devicePath;
    LinkTiming timing;
    // Receiver of idle kicks and transfer notices; nullptr = none.
    CameraEvents* events = nullptr;
    // The waits between commands of the thread issuing them (a Busy camera, the status
    // retries of connect); nullptr = real time. The program passes one that keeps its window
    // alive. Waits inside an exchange, the ping thread's and the destructor's stay plain
    // sleeps. Must outlive the link.
    Clock* waitClock = nullptr;
};

inline constexpr int kPingFailuresToLose = 5;
inline constexpr std::uint8_t kPingByte = 0x40;

class CameraLink {
public:
    // Makes the status defaults and opens the port (see SerialPort); talks to no camera.
    CameraLink(std::string portName, int lineStandard, LinkOptions options = {});
    // Forbids pings and waits for one on the wire, sets Lost, waits for the ping thread to
    // end, ends the transfer worker, closes the port.
    ~CameraLink();
    CameraLink(const CameraLink&) = delete;
    CameraLink& operator=(const CameraLink&) = delete;

    // ---- protocol ----

    // Sends row `number` with `args` and checks the reply: 0, 256 (link already Lost, nothing
    // sent), 516 (became Lost while Busy), 0xFFFF (reply not "OK\r\n", or the command does not
    // fit the command buffer), or a transport code. Row 16 parses the status line instead of
    // comparing; a status line whose type field does not parse is a failed request and leaves
    // the status as it was. `reply`, when given, receives the reply bytes (up to 128).
    Status execute(int number, std::initializer_list<CommandArg> args = {}, Bytes* reply = nullptr);
    // Row `number` without arguments, sent and compared with "OK\r\n" without link-state
    // checks or ping hand-shake (callers hold pings themselves): 0 or 0xFFFF.
    Status executeSimple(int number);
    // Writes `text` and reads the reply of row `number` into `reply` (resized to the row's
    // reply length), with the long wait where it applies. Stale input is discarded first (after
    // a failed reply: read until the line is quiet). No hand-shake: callers hold pings.
    Status sendCommand(std::string_view text, Bytes& reply, int number);
    // Reads a reply of `length` (<= 128) bytes, dropping state notices (see ReplyAssembler).
    // With a `gap`, the reply continues a data phase already flowing: a silence of `gap`
    // (SerialPort::dataGap) ends it with 517 instead of the time-out.
    Status readReply(std::uint8_t* buffer, std::size_t length,
                     std::chrono::milliseconds gap = std::chrono::milliseconds(0));
    // execute(16).
    Status requestStatus() { return execute(cmd::Status); }
    // One ping exchange (normally driven by the ping thread).
    void ping();

    // ---- ping hand-shake ----

    // Forbids pings (one more hold) and waits (handshakePoll steps) while a ping is on the
    // wire. Does nothing on the ping thread.
    void holdPings();
    // Ends one hold; pings resume when no hold is left.
    void releasePings();
    // holdPings() for a scope.
    class PingHold {
    public:
        explicit PingHold(CameraLink& link) : link_(link) { link_.holdPings(); }
        ~PingHold() { link_.releasePings(); }
        PingHold(const PingHold&) = delete;
        PingHold& operator=(const PingHold&) = delete;

    private:
        CameraLink& link_;
    };
    // pingFailures = 0. Holds are ended only by their holders.
    void resumePings();
    bool onPingThread() const;

    // ---- session ----

    // The detection hand-shake on this port at `rate` (0 = maxRate): wake, drain, "N0",
    // CTS flow, "K0" with the working rate, status, ping mode, ping thread. Returns Connected
    // (the ping thread may have turned linkState to Ready already) or NotConnected; a working
    // rate the port cannot take ends it before "K0" with rateRefused() set.
    LinkState connect(int rate);
    // True when the last connect failed because the working rate is above the port's maximum.
    bool rateRefused() const { return rateRefused_; }
    // Switches camera and port to `rate` (0 = maxRate): waits out a Busy camera first (as
    // execute does), then 0xFFFF when the camera refuses, else the port's result.
    Status setRate(int rate);
    // Sets pingMode and sends it with row 40.
    Status setPingMode(int mode);

    // ---- transfer worker ----

    // The work of action 1 (installed by the transfers code). Runs on the worker thread.
    using RetrieveAction =
        std::function<void(CameraLink&, CameraWorker&, const std::shared_ptr<TransferItem>&)>;
    void setRetrieveAction(RetrieveAction action) { retrieveAction_ = std::move(action); }
    // Creates the worker thread; an earlier worker is ended first.
    void startWorker();
    // The worker, or nullptr.
    CameraWorker* worker() { return worker_.get(); }
    // The worker thread's identifier, or a default id when there is none.
    std::thread::id workerThreadId() const;
    // Posts a request to the worker; false when there is none.
    bool postToWorker(WorkerRequest request);
    // Forgets the worker: its queue is closed and the thread ends by itself once its current
    // job is done (it is joined at the latest by the next startWorker or the destructor).
    void clearWorker();

    // ---- state ----

    const std::string& portName() const { return portName_; }
    SerialPort& port() { return *port_; }
    // A consistent copy of the status (the ping thread may be refreshing it).
    CameraStatus status() const;
    // Changes the status under its lock (tests and the transfers code).
    template <class F>
    void editStatus(F edit) {
        std::lock_guard<std::mutex> guard(statusMutex_);
        edit(status_);
    }
    CameraEvents& events() { return *events_; }
    void setEvents(CameraEvents* events);
    const LinkTiming& timing() const { return timing_; }
    // The clock of the waits between commands (see LinkOptions::waitClock).
    Clock& waitClock() const { return *waitClock_; }

    LinkState linkState() const { return linkState_.load(); }
    void setLinkState(LinkState state) { linkState_.store(state); }
    int pingFailures() const { return pingFailures_.load(); }
    bool pingsAllowed() const { return pingHolds_.load() == 0; }
    int pingHolds() const { return pingHolds_.load(); }
    bool pingInProgress() const { return pingInProgress_.load() != 0; }
    int pingThreadState() const { return pingThreadState_.load(); }
    bool pingThreadRunning() const { return pingThreadState_.load() == 1; }
    int pingMode() const { return pingMode_.load(); }
    // Read and cleared by the status display.
    bool takeStatusChanged() { return statusChanged_.exchange(false); }
    bool statusChanged() const { return statusChanged_.load(); }
    int configuredRate() const { return configuredRate_.load(); }
    void setConfiguredRate(int rate) { configuredRate_.store(rate); }
    // The rate `connect` and `setRate` use for 0: the configured rate, or maxRate when 0.
    int workingRate();

    // Capability tests of the current status.
    bool hasFileSystem() const { return status().hasFileSystem(); }
    bool variantB() const { return status().variantB(); }
    bool hasNewFirmware() const { return status().hasNewFirmware(); }
    bool hasNewFirmwareA() const { return status().hasNewFirmwareA(); }
    // The next command first waits for the line to fall quiet (after a raw phase went wrong).
    void requestResync() { resync_.store(true); }
    // What the transfers learnt of the line: the last item needed re-reads, so the next one
    // is read in small blocks from the start; and the share of bytes it was seen to corrupt,
    // which limits how far one read is trusted.
    bool noisyLine() const { return noisyLine_.load(); }
    void setNoisyLine(bool noisy) { noisyLine_.store(noisy); }
    double lineErrorRate() const { return lineErrorRate_.load(); }
    void setLineErrorRate(double rate) { lineErrorRate_.store(rate); }
    // The line was seen quiet after a spoiled reply's data: the next command need not wait.
    void cancelResync() { resync_.store(false); }

private:
    Status executeWith(int number, std::initializer_list<CommandArg> args, Bytes* reply,
                       bool handshake);
    void pingLoop();
    void stopPingThread();
    void drainInput();
    // Discards what is waiting on the line, or after a failed reply reads until it is quiet.
    void settleInput();
    // Waits while the camera is Busy: Ok, 256 (already Lost) or 516 (Lost meanwhile).
    Status waitWhileBusy();
    void sleepFor(std::chrono::milliseconds d) const;

    std::string portName_;
    LinkTiming timing_;
    Clock* waitClock_;
    CameraEvents* events_;
    std::unique_ptr<SerialPort> port_;
    mutable std::mutex statusMutex_;
    CameraStatus status_;
    CommandText command_; // the 64-byte command buffer
    bool rateRefused_ = false;
    std::atomic<bool> resync_{false};
    std::atomic<bool> noisyLine_{false};
    std::atomic<double> lineErrorRate_{0};

    std::atomic<bool> statusChanged_{false};
    std::atomic<int> pingMode_{1};
    std::atomic<int> pingFailures_{0};
    std::atomic<int> pingThreadState_{3};
    std::atomic<LinkState> linkState_{LinkState::NotConnected};
    std::atomic<int> pingHolds_{0};
    std::atomic<int> pingInProgress_{0};
    std::atomic<int> configuredRate_{0};
    std::atomic<std::thread::id> pingThreadId_{};
    std::thread pingThread_;

    RetrieveAction retrieveAction_;
    std::unique_ptr<CameraWorker> worker_;
    std::vector<std::unique_ptr<CameraWorker>> retiredWorkers_;
};

} // namespace kv::camera
