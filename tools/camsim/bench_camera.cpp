// The bench camera: framing, pings and state notices, the status line and the setting
// commands, the rate switch, and fault injection. The transfer commands are added by
// registerTransferCommands().

#include "camsim/bench_camera.h"

#include "camsim/transfer_commands.h"
#include "platform/pseudo_terminal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace kv::camsim {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// While busy, the camera repeats 'b' at this pace so that a waiting reply reader (400 ms
// between bytes) keeps waiting instead of timing out.
constexpr auto kBusyNoticeInterval = 100ms;
// A line that grows past this without CR LF is noise; the camera forgets it.
constexpr std::size_t kMaxLine = 256;
// The longest reply line (a status line).
constexpr std::size_t kMaxGarbageLine = 128;
// The log of received bytes stops growing here (long downloads need not be kept twice).
constexpr std::size_t kMaxReceivedLog = 1u << 20;

std::uint16_t typeWord(CameraKind kind) {
    switch (kind) {
    case CameraKind::MemoryCard:
        return 0x0401;
    case CameraKind::VariantB:
        return 0x1001;
    case CameraKind::Plain:
        break;
    }
    return 0x0001;
}

} // namespace

long BenchCommand::number(std::size_t i, long fallback) const {
    if (i >= args.size() || args[i].empty())
        return fallback;
    char* end = nullptr;
    const long value = std::strtol(args[i].c_str(), &end, 10);
    return *end == '\0' ? value : fallback;
}

BenchCamera::BenchCamera(BenchCameraOptions options)
    : options_(std::move(options)), faults_(options_.faults), random_(faults_.seed) {
    state_.type = typeWord(options_.kind);
    state_.firmware = options_.firmware;
    state_.serialNumber = options_.serialNumber;
    state_.rate = options_.initialRate;
    pty_ = std::make_unique<platform::PseudoTerminal>();
    if (!pty_->isOpen())
        return;
    devicePath_ = pty_->slavePath();
    registerBaseCommands();
    registerTransferCommands(*this);
    ok_ = true;
    thread_ = std::thread([this] { run(); });
}

BenchCamera::~BenchCamera() {
    stop_ = true;
    if (pty_)
        pty_->wake();
    if (thread_.joinable())
        thread_.join();
}

void BenchCamera::addHandler(std::string code, CommandHandler handler) {
    std::lock_guard<std::mutex> guard(handlersMutex_);
    handlers_[std::move(code)] = std::move(handler);
}

bool BenchCamera::hasHandler(std::string_view code) const {
    std::lock_guard<std::mutex> guard(handlersMutex_);
    return handlers_.find(code) != handlers_.end();
}

CommandHandler BenchCamera::handler(std::string_view code) const {
    std::lock_guard<std::mutex> guard(handlersMutex_);
    auto it = handlers_.find(code);
    return it == handlers_.end() ? CommandHandler() : it->second;
}

void BenchCamera::setFaults(const FaultOptions& faults) {
    std::lock_guard<std::mutex> guard(stateMutex_);
    faults_ = faults;
    garbageCount_ = 0;
    random_.seed(faults.seed);
}

std::string BenchCamera::statusLine() {
    char text[160];
    {
        std::lock_guard<std::mutex> guard(stateMutex_);
        const CameraState& s = state_;
        std::snprintf(text, sizeof text,
                      "Type: %d S/W: %s S/N: %ld Pix: %d Bat: %d EStat: %d E0;%d E1;%d F0;%d "
                      "Q0;%d S0;%d No. %d",
                      s.type, s.firmware.c_str(), static_cast<long>(s.serialNumber), s.pictures,
                      s.battery, s.errorStatus, s.exposure, s.autoExposure, s.flash, s.quality,
                      s.sound, s.number);
    }
    std::string line(text);
    line.resize(126, ' ');
    line += "\r\n";
    return line;
}

// ---- the wire ----

bool BenchCamera::chance(double rate) {
    if (rate <= 0)
        return false;
    return std::uniform_real_distribution<double>(0.0, 1.0)(random_) < rate;
}

void BenchCamera::sendBytes(ByteSpan bytes, bool reply) {
    FaultOptions faults;
    int rate = 0;
    {
        std::lock_guard<std::mutex> guard(stateMutex_);
        faults = faults_;
        rate = state_.rate;
    }
    Bytes out;
    out.reserve(bytes.size() + 8);
    {
        std::lock_guard<std::mutex> guard(stateMutex_);
        if (reply && chance(faults.stateByteRate))
            out.push_back('b');
        for (std::uint8_t b : bytes) {
            if (reply && chance(faults.stateByteRate))
                out.push_back(chance(0.5) ? 'r' : 'd');
            if (chance(faults.dropRate))
                continue;
            if (chance(faults.corruptRate))
                b = static_cast<std::uint8_t>(random_());
            out.push_back(b);
        }
    }
    const int pace = faults.paceAtLinkRate ? rate : faults.paceRate;
    // Pacing: 10 bits a byte, written in small pieces once their last bit would have arrived,
    // and never before the line is free of what was sent before (a reply and the data behind
    // it take their time one after the other).
    const std::size_t piece = pace > 0 ? 16 : out.size();
    const auto start = pace > 0 ? std::max(Clock::now(), lineFreeAt_) : Clock::now();
    const auto lineTime = [pace](std::size_t bytes) {
        return std::chrono::microseconds(static_cast<long long>(bytes) * 10'000'000 / pace);
    };
    std::size_t done = 0;
    while (done < out.size() && !pulled_.load()) {
        std::size_t n = std::min(piece, out.size() - done);
        if (faults.pullCableAfter >= 0) {
            const std::size_t left =
                sent_.load() >= static_cast<std::size_t>(faults.pullCableAfter)
                    ? 0
                    : static_cast<std::size_t>(faults.pullCableAfter) - sent_.load();
            if (left == 0) {
                pulled_ = true; // before the host can see the line vanish
                pty_->closeMaster();
                break;
            }
            n = std::min(n, left);
        }
        if (pace > 0)
            std::this_thread::sleep_until(start + lineTime(done + n));
        if (!pty_->write(out.data() + done, n))
            break;
        done += n;
        sent_ += n;
    }
    if (pace > 0)
        lineFreeAt_ = start + lineTime(done);
}

void BenchCamera::sendNoise(std::size_t count) {
    Bytes noise(std::min<std::size_t>(count, 64));
    {
        std::lock_guard<std::mutex> guard(stateMutex_);
        for (auto& b : noise)
            b = static_cast<std::uint8_t>(random_());
    }
    sendBytes(noise, false);
}

void BenchCamera::sendReply(std::string_view text) {
    sendBytes(ByteSpan(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), true);
}

void BenchCamera::sendRaw(ByteSpan bytes) {
    sendBytes(bytes, false);
}

bool BenchCamera::receiveRaw(std::uint8_t* buffer, std::size_t count,
                             std::chrono::milliseconds limit) {
    std::size_t got = 0;
    const std::size_t fromPending = std::min(count, pending_.size() - pendingAt_);
    std::copy_n(pending_.begin() + static_cast<std::ptrdiff_t>(pendingAt_), fromPending, buffer);
    pendingAt_ += fromPending;
    got += fromPending;
    const auto deadline = Clock::now() + limit;
    while (got < count && !stop_.load() && !pulled_.load()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        const long n = pty_->read(buffer + got, count - got, left);
        if (n < 0)
            return false;
        if (n > 0) {
            logReceived(ByteSpan(buffer + got, static_cast<std::size_t>(n)));
            got += static_cast<std::size_t>(n);
        }
    }
    return got == count;
}

void BenchCamera::logReceived(ByteSpan bytes) {
    {
        std::lock_guard<std::mutex> guard(logMutex_);
        const std::size_t room =
            received_.size() < kMaxReceivedLog ? kMaxReceivedLog - received_.size() : 0;
        received_.insert(received_.end(), bytes.begin(),
                         bytes.begin() + static_cast<std::ptrdiff_t>(std::min(room, bytes.size())));
    }
    logChanged_.notify_all();
}

void BenchCamera::setBusyFor(std::chrono::milliseconds period) {
    std::lock_guard<std::mutex> guard(stateMutex_);
    state_.busyUntil = Clock::now() + period;
}

void BenchCamera::markStatusChanged() {
    std::lock_guard<std::mutex> guard(stateMutex_);
    state_.statusChanged = true;
}

bool BenchCamera::hostRateMatches() {
    if (!options_.checkRate)
        return true;
    const int host = pty_->peerRate();
    std::lock_guard<std::mutex> guard(stateMutex_);
    return host == 0 || host == state_.rate;
}

void BenchCamera::waitWhileBusy() {
    for (;;) {
        Clock::time_point until;
        {
            std::lock_guard<std::mutex> guard(stateMutex_);
            until = state_.busyUntil;
        }
        if (Clock::now() >= until || stop_.load() || pulled_.load())
            return;
        const std::uint8_t busy = 'b';
        sendBytes(ByteSpan(&busy, 1), false);
        std::this_thread::sleep_for(
            std::min<Clock::duration>(kBusyNoticeInterval, until - Clock::now()));
    }
}

void BenchCamera::handlePing() {
    ++pings_;
    std::uint8_t answer = 'r';
    {
        std::lock_guard<std::mutex> guard(stateMutex_);
        if (faults_.silent)
            return;
        if (Clock::now() < state_.busyUntil) {
            answer = 'b';
        } else if (state_.statusChanged) {
            answer = 'd';
            state_.statusChanged = false;
        }
    }
    sendBytes(ByteSpan(&answer, 1), false);
    logChanged_.notify_all();
}

void BenchCamera::handleLine(const std::string& line) {
    {
        std::lock_guard<std::mutex> guard(logMutex_);
        commandLog_.push_back(line);
    }
    logChanged_.notify_all();
    if (line.empty())
        return; // the empty line only wakes the camera
    BenchCommand command;
    command.line = line;
    command.code = line.substr(0, 2);
    if (line.size() > 3 && line[2] == ';') {
        std::size_t start = 3;
        for (;;) {
            const std::size_t comma = line.find(',', start);
            command.args.push_back(line.substr(start, comma - start));
            if (comma == std::string::npos)
                break;
            start = comma + 1;
        }
    }
    std::string refused;
    std::chrono::milliseconds busyAfter{0};
    std::chrono::milliseconds delay{0};
    bool garbage = false;
    {
        std::lock_guard<std::mutex> guard(stateMutex_);
        if (faults_.silent)
            return;
        refused = faults_.refuseCommand;
        if (!faults_.garbageCommand.empty() && command.code == faults_.garbageCommand)
            garbage = garbageCount_++ >= faults_.garbageAfter;
        busyAfter = faults_.busyAfterCommand;
        if (!faults_.lateCommand.empty() && command.code == faults_.lateCommand)
            delay = faults_.lateBy;
        const bool card = (state_.type & 0x400) != 0;
        if (command.code == "B0" || command.code == "B3" || (card && command.code == "I0"))
            delay = std::max(delay, faults_.slowRows);
    }
    waitWhileBusy();
    if (delay.count() > 0)
        std::this_thread::sleep_for(delay);
    CommandHandler handler;
    {
        std::lock_guard<std::mutex> guard(handlersMutex_);
        auto it = handlers_.find(command.code);
        if (it != handlers_.end())
            handler = it->second;
    }
    if (garbage) {
        // A full reply line of bytes no field parser can read.
        Bytes noise(kMaxGarbageLine);
        {
            std::lock_guard<std::mutex> guard(stateMutex_);
            for (auto& b : noise)
                b = static_cast<std::uint8_t>(0x80 | random_());
        }
        noise[noise.size() - 2] = '\r';
        noise[noise.size() - 1] = '\n';
        sendBytes(noise, true);
    } else if (!handler || command.code == refused) {
        sendRefusal();
    } else {
        handler(*this, command);
    }
    if (busyAfter.count() > 0)
        setBusyFor(busyAfter);
}

void BenchCamera::run() {
    std::string line;
    std::uint8_t chunk[4096];
    while (!stop_.load()) {
        if (pullRequested_.exchange(false) && !pulled_.load()) {
            pulled_ = true;
            pty_->closeMaster();
        }
        if (pulled_.load()) {
            std::unique_lock<std::mutex> lock(logMutex_);
            logChanged_.wait_for(lock, 50ms, [this] { return stop_.load(); });
            continue;
        }
        const long n = pty_->read(chunk, sizeof chunk, 200ms);
        if (n < 0) {
            // The line closed under us (or the master was closed): wait to be stopped.
            pulled_ = true;
            continue;
        }
        if (n == 0)
            continue;
        logReceived(ByteSpan(chunk, static_cast<std::size_t>(n)));
        // At the wrong rate the camera's receiver makes nothing of the bytes, and whatever
        // it says meanwhile reaches the host as noise.
        if (!hostRateMatches()) {
            sendNoise(static_cast<std::size_t>(n));
            continue;
        }
        pending_.assign(chunk, chunk + n);
        pendingAt_ = 0;
        while (pendingAt_ < pending_.size() && !stop_.load()) {
            const std::uint8_t b = pending_[pendingAt_++];
            if (line.empty() && b == 0x40) {
                handlePing();
                continue;
            }
            line.push_back(static_cast<char>(b));
            if (line.size() >= 2 && line[line.size() - 2] == '\r' && line.back() == '\n') {
                line.resize(line.size() - 2);
                handleLine(line);
                line.clear();
            } else if (line.size() > kMaxLine) {
                line.clear();
            }
        }
        pending_.clear();
        pendingAt_ = 0;
    }
}

void BenchCamera::pullCable() {
    if (std::this_thread::get_id() == thread_.get_id()) {
        pulled_ = true;
        pty_->closeMaster();
        return;
    }
    pullRequested_ = true;
    pty_->wake();
}

// ---- observation ----

std::vector<std::string> BenchCamera::commandLog() {
    std::lock_guard<std::mutex> guard(logMutex_);
    return commandLog_;
}

Bytes BenchCamera::received() {
    std::lock_guard<std::mutex> guard(logMutex_);
    return received_;
}

void BenchCamera::clearLogs() {
    std::lock_guard<std::mutex> guard(logMutex_);
    commandLog_.clear();
    received_.clear();
}

bool BenchCamera::waitForCommands(
    const std::function<bool(const std::vector<std::string>&)>& predicate,
    std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(logMutex_);
    return logChanged_.wait_for(lock, limit, [&] { return predicate(commandLog_); });
}

bool BenchCamera::waitForPings(std::size_t count, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(logMutex_);
    return logChanged_.wait_for(lock, limit, [&] { return pings_.load() >= count; });
}

// ---- the commands of this side ----

void BenchCamera::registerBaseCommands() {
    auto ok = [](BenchCamera& cam, const BenchCommand&) { cam.sendOk(); };
    // A setting: checked against its range, stored, mirrored in the status line.
    auto setting = [](int CameraState::*field, int low, int high) {
        return [field, low, high](BenchCamera& cam, const BenchCommand& c) {
            const long value = c.number(0, -1);
            if (c.count() != 1 || value < low || value > high) {
                cam.sendRefusal();
                return;
            }
            cam.withState([&](CameraState& s) { s.*field = static_cast<int>(value); });
            cam.sendOk();
        };
    };
    addHandler("N0", ok);
    addHandler("I0",
               [](BenchCamera& cam, const BenchCommand&) { cam.sendReply(cam.statusLine()); });
    addHandler("K0", [](BenchCamera& cam, const BenchCommand& c) {
        const long rate = c.number(0, -1);
        const auto& rates = cam.options().supportedRates;
        if (c.count() != 1 || std::find(rates.begin(), rates.end(), rate) == rates.end()) {
            cam.sendRefusal();
            return;
        }
        // The camera listens at the new rate from the moment it answers (the host switches
        // only after reading the answer, so nothing it sends can fall in between).
        cam.withState([&](CameraState& s) { s.rate = static_cast<int>(rate); });
        cam.sendOk();
    });
    addHandler("E0", setting(&CameraState::exposure, 0, 11));
    addHandler("E1", setting(&CameraState::autoExposure, 0, 1));
    addHandler("F0", setting(&CameraState::flash, 0, 1));
    addHandler("Q0", setting(&CameraState::quality, 0, 3));
    addHandler("Q1", setting(&CameraState::compression, 0, 255));
    addHandler("S0", setting(&CameraState::sound, 0, 1));
    addHandler("Z5", setting(&CameraState::pingMode, 0, 1));
    addHandler("D5", [](BenchCamera& cam, const BenchCommand& c) {
        if (c.count() != 1) {
            cam.sendRefusal();
            return;
        }
        cam.withState([&](CameraState& s) { s.serialNumber = static_cast<int>(c.number(0)); });
        cam.sendOk();
    });
    // Pictures: the camera is busy while it takes one, then announces new status with 'd'.
    auto picture = [](bool counts) {
        return [counts](BenchCamera& cam, const BenchCommand&) {
            cam.sendOk();
            cam.withState([&](CameraState& s) {
                if (counts) {
                    ++s.pictures;
                    ++s.number;
                }
                s.statusChanged = true;
            });
            cam.setBusyFor(cam.options().pictureBusy);
        };
    };
    addHandler("P0", picture(true));
    for (const char* code : {"P1", "P2", "P4", "P5", "P6", "P7"})
        addHandler(code, picture(false));
    addHandler("P3", [](BenchCamera& cam, const BenchCommand&) {
        cam.withState([](CameraState& s) { s.errorStatus = 0; });
        cam.sendOk();
    });
    for (const char* code : {"E2", "L0", "L1", "S1", "Z0", "Z1", "Z2", "Z3", "Z6", "Z7", "D0"})
        addHandler(code, ok);
}

} // namespace kv::camsim
