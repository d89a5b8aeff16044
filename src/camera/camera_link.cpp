// CameraLink: protocol (commands, replies, pings) and session (detection, rate change, ping
// thread, transfer worker, shutdown).

#include "camera/camera_link.h"

#include "platform/serial_device.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace kv::camera {

namespace {
// A camera that keeps sending while the input is drained is not one we can talk to; the drain
// stops after this many reads (of up to 512 bytes) instead of reading for ever.
constexpr int kDrainReads = 128;
constexpr int kBusyWaits = 10;
constexpr int kLongWaitReads = 102;
constexpr int kStatusRetries = 10;
// The ping thread sleeps in slices so that a Lost link ends it promptly.
constexpr std::chrono::milliseconds kPingSleepSlice{50};
} // namespace

const char* linkStateName(LinkState state) {
    switch (state) {
    case LinkState::Ready:
        return "Ready";
    case LinkState::Busy:
        return "Busy";
    case LinkState::Connected:
        return "Connected";
    case LinkState::NotConnected:
        return "NotConnected";
    case LinkState::Lost:
        return "Lost";
    case LinkState::NoAnswer:
        return "NoAnswer";
    }
    return "?";
}

CameraLink::CameraLink(std::string portName, int lineStandard, LinkOptions options)
    : portName_(std::move(portName)), timing_(options.timing),
      waitClock_(options.waitClock != nullptr ? options.waitClock : &realClock()),
      events_(options.events != nullptr ? options.events : &noCameraEvents()) {
    const std::string device =
        options.devicePath.empty() ? portDevicePath(portName_) : options.devicePath;
    port_ = std::make_unique<SerialPort>(device, lineStandard, timing_.serialTimeout);
}

CameraLink::~CameraLink() {
    if (!onPingThread()) {
        ++pingHolds_; // never released: the link ends here
        while (pingInProgress_.load() != 0)
            sleepFor(timing_.handshakePoll);
    }
    linkState_ = LinkState::Lost;
    stopPingThread();
    worker_.reset();
    retiredWorkers_.clear();
    port_->close();
}

void CameraLink::setEvents(CameraEvents* events) {
    events_ = events != nullptr ? events : &noCameraEvents();
}

void CameraLink::sleepFor(std::chrono::milliseconds d) const {
    if (d.count() > 0)
        std::this_thread::sleep_for(d);
}

bool CameraLink::onPingThread() const {
    return pingThreadId_.load() == std::this_thread::get_id();
}

// ---- ping hand-shake ----

void CameraLink::holdPings() {
    if (onPingThread())
        return;
    // Sequentially consistent increment then load, mirrored in ping(): either the ping
    // thread sees pings forbidden, or we see its ping in progress and wait for it.
    pingHolds_.fetch_add(1);
    while (pingInProgress_.load() != 0)
        sleepFor(timing_.handshakePoll);
}

void CameraLink::releasePings() {
    if (onPingThread())
        return;
    int holds = pingHolds_.load();
    while (holds > 0 && !pingHolds_.compare_exchange_weak(holds, holds - 1)) {
    }
}

void CameraLink::resumePings() {
    pingFailures_ = 0;
}

CameraStatus CameraLink::status() const {
    std::lock_guard<std::mutex> guard(statusMutex_);
    return status_;
}

// ---- protocol ----

Status CameraLink::readReply(std::uint8_t* buffer, std::size_t length,
                             std::chrono::milliseconds gap) {
    length = std::clamp<std::size_t>(length, 1, kMaxReplyLength);
    ReplyAssembler assembler(length);
    for (;;) {
        std::uint8_t byte = 0;
        const Status result =
            gap.count() > 0 ? port_->readFlowing(&byte, 1, gap) : port_->read(&byte, 1);
        if (result != status::Ok)
            return result;
        switch (assembler.feed(byte)) {
        case ReplyAssembler::Step::NeedMore:
            break;
        case ReplyAssembler::Step::Complete: {
            const ByteSpan reply = assembler.reply();
            std::memcpy(buffer, reply.data(), reply.size());
            return status::Ok;
        }
        case ReplyAssembler::Step::Full: {
            // 128 bytes and no line end: hand over the start of what came, as the camera's
            // reply; callers compare it and fail.
            if (buffer[0] == 0) {
                const ByteSpan head = assembler.head();
                std::memcpy(buffer, head.data(), head.size());
            }
            return status::Ok;
        }
        }
    }
}

void CameraLink::settleInput() {
    if (resync_.exchange(false))
        drainInput();
    else
        port_->purge();
}

Status CameraLink::sendCommand(std::string_view text, Bytes& reply, int number) {
    const CommandRow* row = commandRow(number);
    if (row == nullptr)
        return status::Failed;
    settleInput();
    const Status written =
        port_->write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    if (written != status::Ok || row->replyLength == 0)
        return written;
    reply.assign(static_cast<std::size_t>(row->replyLength), 0);
    Status result = status::TimedOut;
    if (!isLongWaitRow(number, hasFileSystem())) {
        result = readReply(reply.data(), reply.size());
    } else {
        for (int i = 0; i < kLongWaitReads; ++i) {
            result = readReply(reply.data(), reply.size());
            if (result != status::TimedOut)
                break;
            sleepFor(timing_.longWaitSleep);
        }
    }
    // A reply that did not come whole may still be on its way: the next command waits for
    // the line to fall quiet before it goes out.
    const std::size_t n = reply.size();
    if (result != status::Ok || n < 2 || reply[n - 2] != '\r' || reply[n - 1] != '\n')
        resync_ = true;
    return result;
}

Status CameraLink::waitWhileBusy() {
    if (linkState_.load() == LinkState::Lost)
        return status::LinkLost;
    for (int i = 0; i < kBusyWaits && linkState_.load() == LinkState::Busy; ++i)
        waitClock_->sleep(timing_.busyPoll);
    if (linkState_.load() == LinkState::Lost)
        return status::LostWhileBusy;
    return status::Ok;
}

Status CameraLink::executeWith(int number, std::initializer_list<CommandArg> args, Bytes* reply,
                               bool handshake) {
    if (const Status busy = waitWhileBusy(); busy != status::Ok)
        return busy;
    if (handshake)
        holdPings();

    Bytes buffer;
    Status result = formatCommand(number, args, command_);
    if (result == status::Ok)
        result = sendCommand(command_.view(), buffer, number);
    if (result == status::Ok) {
        const CommandRow* row = commandRow(number);
        if (number == cmd::Status) {
            // Parsed into a copy: a line whose type field does not parse is no status line,
            // and the defaults must not pass for what the camera said.
            std::lock_guard<std::mutex> guard(statusMutex_);
            CameraStatus parsed = status_;
            if (parseStatusLine(buffer, parsed) > 0)
                status_ = parsed;
            else
                result = status::Failed;
        } else if (row->replyLength > 0 && !isOkReply(buffer)) {
            result = status::Failed;
        }
        if (result != status::Ok)
            resync_ = true;
    }
    if (reply != nullptr)
        *reply = std::move(buffer);

    if (handshake)
        releasePings();
    pingFailures_ = 0;
    return result;
}

Status CameraLink::execute(int number, std::initializer_list<CommandArg> args, Bytes* reply) {
    return executeWith(number, args, reply, true);
}

Status CameraLink::executeSimple(int number) {
    CommandText text;
    if (formatCommand(number, {}, text) != status::Ok)
        return status::Failed;
    Bytes reply;
    if (sendCommand(text.view(), reply, number) != status::Ok)
        return status::Failed;
    return isOkReply(reply) ? status::Ok : status::Failed;
}

void CameraLink::ping() {
    if (pingHolds_.load() != 0 || pingMode_.load() != 1 || linkState_.load() == LinkState::Lost)
        return;
    // Mark the ping first and then look at the permission again: a thread that forbade pings
    // in between either sees this mark or is seen here (see holdPings).
    pingInProgress_.store(1);
    if (pingHolds_.load() != 0) {
        pingInProgress_.store(0);
        return;
    }
    // The answer must be to this ping, not a byte left over from an earlier exchange.
    settleInput();
    std::uint8_t byte = kPingByte;
    Status result = port_->write(&byte, 1);
    if (result == status::Ok)
        result = port_->read(&byte, 1);
    if (result == status::Ok) {
        pingFailures_ = 0;
        if (byte == 'b') {
            linkState_ = LinkState::Busy;
        } else if (byte == 'd') {
            linkState_ = LinkState::Ready;
            statusChanged_ = true;
            (void)executeWith(cmd::Status, {}, nullptr, false);
        } else if (byte == 'r') {
            linkState_ = LinkState::Ready;
        }
    } else {
        // No resynchronisation here: a ping's answer is one state byte, which every reply
        // reader drops, and the next exchange discards what waits on the line first.
        const int failures = ++pingFailures_;
        if (failures >= kPingFailuresToLose)
            linkState_ = LinkState::Lost;
        else
            linkState_ = LinkState::NoAnswer;
    }
    pingInProgress_.store(0);
}

// ---- session ----

int CameraLink::workingRate() {
    const int configured = configuredRate_.load();
    return configured != 0 ? configured : port_->maxRate();
}

void CameraLink::drainInput() {
    // Until a read gets nothing within the time-out; bounded, so a camera that never stops
    // talking cannot keep us here.
    std::array<std::uint8_t, 512> scratch;
    for (int i = 0; i < kDrainReads; ++i) {
        // A read that ended in a time-out saw the line quiet for a whole interval.
        if (port_->read(scratch.data(), scratch.size()) != status::Ok)
            return;
    }
}

LinkState CameraLink::connect(int rate) {
    if (pingThread_.joinable()) {
        // A second connect on this object: end the first session's ping thread.
        linkState_ = LinkState::Lost;
        stopPingThread();
    }
    linkState_ = LinkState::NotConnected;
    rateRefused_ = false;
    noisyLine_ = false;
    lineErrorRate_ = 0;
    if (port_->opening() == 1)
        return LinkState::NotConnected;
    const int max = port_->maxRate();
    if (rate == 0)
        rate = max;
    if (rate > max || rate <= 0)
        return LinkState::NotConnected;
    // The camera would switch to a rate the port cannot follow: a dead link.
    const int working = workingRate();
    if (working > max || working <= 0) {
        rateRefused_ = true;
        return LinkState::NotConnected;
    }
    if (port_->currentRate() != rate && port_->setRate(rate) != status::Ok)
        return LinkState::NotConnected;

    // Wake the camera with an empty line and throw away whatever it had to say.
    holdPings();
    (void)executeWith(cmd::Wake, {}, nullptr, false);
    drainInput();
    const Status nop = executeWith(cmd::Nop, {}, nullptr, false);
    releasePings();
    if (nop != status::Ok)
        return LinkState::NotConnected;
    linkState_ = LinkState::Connected;

    port_->enableCtsFlow();
    if (execute(cmd::SetRate, {working}) != status::Ok || port_->setRate(working) != status::Ok) {
        linkState_ = LinkState::NotConnected;
        return LinkState::NotConnected;
    }
    for (int i = 0; i < kStatusRetries; ++i) {
        waitClock_->sleep(timing_.statusRetrySleep);
        if (requestStatus() == status::Ok)
            break;
    }
    (void)execute(cmd::PingMode, {pingMode_.load()});

    resumePings();
    // Taken before the ping thread starts: its first answer may already turn it to Ready.
    const LinkState result = linkState_.load();
    pingThreadState_ = 1; // running from here, so a waiting destructor never misses it
    pingThread_ = std::thread([this] { pingLoop(); });
    return result;
}

Status CameraLink::setRate(int rate) {
    if (rate == 0)
        rate = port_->maxRate();
    // The Busy wait comes before the hold: only pings can tell that the camera is no longer
    // Busy.
    if (const Status busy = waitWhileBusy(); busy != status::Ok)
        return busy;
    // No ping may fall between the camera's switch and ours: it would go out at the old rate.
    PingHold hold(*this);
    if (executeWith(cmd::SetRate, {rate}, nullptr, false) != status::Ok)
        return status::Failed;
    return port_->setRate(rate);
}

Status CameraLink::setPingMode(int mode) {
    pingMode_ = mode;
    return execute(cmd::PingMode, {mode});
}

void CameraLink::pingLoop() {
    pingThreadId_ = std::this_thread::get_id();
    platform::setCurrentThreadLowestPriority();
    while (linkState_.load() != LinkState::Lost) {
        ping();
        for (auto slept = std::chrono::milliseconds(0);
             slept < timing_.pingInterval && linkState_.load() != LinkState::Lost;
             slept += kPingSleepSlice)
            sleepFor(std::min(kPingSleepSlice, timing_.pingInterval - slept));
        events_->idleKick();
    }
    pingThreadState_ = 3;
}

void CameraLink::stopPingThread() {
    if (!pingThread_.joinable())
        return;
    if (onPingThread()) {
        pingThread_.detach();
        return;
    }
    while (pingThreadState_.load() == 1)
        sleepFor(timing_.shutdownPoll);
    pingThread_.join();
    pingThreadId_ = std::thread::id();
}

// ---- transfer worker ----

void CameraLink::startWorker() {
    clearWorker();
    std::erase_if(retiredWorkers_,
                  [](const std::unique_ptr<CameraWorker>& w) { return w->finished(); });
    worker_ = std::make_unique<CameraWorker>(
        [this](CameraWorker& worker, const std::shared_ptr<TransferItem>& item) {
            if (retrieveAction_)
                retrieveAction_(*this, worker, item);
            else
                events_->transferNotice(notice::ItemFailed, nullptr, 0);
        });
}

std::thread::id CameraLink::workerThreadId() const {
    return worker_ ? worker_->threadId() : std::thread::id();
}

bool CameraLink::postToWorker(WorkerRequest request) {
    return worker_ && worker_->post(std::move(request));
}

void CameraLink::clearWorker() {
    if (!worker_)
        return;
    worker_->close();
    retiredWorkers_.push_back(std::move(worker_));
}

} // namespace kv::camera
