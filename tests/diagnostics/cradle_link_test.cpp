// The lens cradle link against the bench cradle and against a line that answers from a script.

#include "camsim/bench_cradle.h"
#include "diagnostics/lens_cradle_link.h"
#include "platform/pseudo_terminal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

namespace kv::diagnostics {
namespace {

using namespace std::chrono_literals;

// An operator that records its boxes.
struct BoxOperator : SilentOperator {
    std::vector<std::string> boxes;
    void message(std::string_view text) override { boxes.emplace_back(text); }
};

// A line that answers every received CR LF line with the next scripted reply.
class ScriptedLine {
public:
    explicit ScriptedLine(std::deque<std::string> replies) : replies_(std::move(replies)) {
        thread_ = std::thread([this] {
            std::string line;
            std::uint8_t chunk[256];
            while (!stop_) {
                const long n = pty_.read(chunk, sizeof chunk, 50ms);
                for (long i = 0; i < n; ++i) {
                    line.push_back(static_cast<char>(chunk[i]));
                    if (line.size() >= 2 && line.substr(line.size() - 2) == "\r\n") {
                        std::string reply;
                        {
                            std::lock_guard<std::mutex> g(mutex_);
                            lines_.push_back(line.substr(0, line.size() - 2));
                            if (!replies_.empty()) {
                                reply = replies_.front();
                                replies_.pop_front();
                            }
                        }
                        pty_.write(reinterpret_cast<const std::uint8_t*>(reply.data()),
                                   reply.size());
                        line.clear();
                    }
                }
            }
        });
    }
    ~ScriptedLine() {
        stop_ = true;
        pty_.wake();
        thread_.join();
    }
    const std::string& path() const { return pty_.slavePath(); }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> g(mutex_);
        return lines_;
    }

private:
    platform::PseudoTerminal pty_;
    std::mutex mutex_;
    std::deque<std::string> replies_;
    std::vector<std::string> lines_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

CradleLinkOptions optionsFor(const std::string& path) {
    CradleLinkOptions o;
    o.readSlice = 20ms; // short enough for silence tests, long enough for a loaded machine
    o.portDevice = [path](std::string_view) { return path; };
    return o;
}

CradleSettings settingsWith(long maxSpeed) {
    CradleSettings s;
    s.port = 2;
    s.maxSpeed = maxSpeed;
    return s;
}

TEST(LensCradleLink, StartUpOrderAndSpeeds) {
    struct Row {
        long maxSpeed;
        const char* vi;
        const char* vf;
    };
    for (const Row& r : {Row{10000, "VI 4000", "VF 10000"}, Row{3000, "VI 3000", "VF 3000"}}) {
        VirtualClock clock;
        camsim::BenchCradle cradle({70000, &clock, {}});
        ASSERT_TRUE(cradle.ok());
        BoxOperator op;
        LensCradleLink link(op, optionsFor(cradle.devicePath()));
        ASSERT_EQ(link.open(settingsWith(r.maxSpeed)), status::Ok) << link.lastError();
        const std::vector<std::string> expected = {"MED", "MFE", r.vi, r.vf, "AC 100004", "MH 1"};
        EXPECT_EQ(cradle.commandLog(), expected);
        EXPECT_TRUE(cradle.ready());
        EXPECT_EQ(cradle.orderErrors(), 0);
        long position = -1;
        EXPECT_TRUE(link.readPosition(position));
        EXPECT_EQ(position, 0);
        // Moves take their time at the set speed, in virtual time.
        const auto before = clock.now();
        EXPECT_TRUE(link.moveChecked(5000, 5000));
        EXPECT_EQ(clock.now() - before, std::chrono::milliseconds(5000 * 1000 / r.maxSpeed));
        EXPECT_TRUE(op.boxes.empty());
    }
}

TEST(LensCradleLink, PortSetting) {
    VirtualClock clock;
    camsim::BenchCradle cradle({70000, &clock, {}});
    struct Row {
        int port;
        std::string cameraPort;
        const char* box; // the start of the box, or nullptr for none
    };
    for (const Row& r :
         {Row{0, "",
              "Must specify lens cradle COMM port in *.INI file.\ne.g. "
              "[FOCUS_PARAMS]\nCRADLE_PORT_RS232=4"},
          Row{5, "", "Must specify lens cradle COMM port"},
          Row{2, "COM2", "The lens cradle cannot use COM2"}, Row{2, "COM1", nullptr}}) {
        BoxOperator op;
        auto options = optionsFor(cradle.devicePath());
        options.cameraPort = r.cameraPort;
        if (r.cameraPort == "COM1") // another device behind the camera's port
            options.portDevice = [&](std::string_view p) {
                return p == "COM1" ? std::string("/dev/null") : cradle.devicePath();
            };
        LensCradleLink link(op, options);
        CradleSettings s = settingsWith(10000);
        s.port = r.port;
        const Status st = link.open(s);
        if (r.box == nullptr) {
            EXPECT_EQ(st, status::Ok);
            EXPECT_TRUE(op.boxes.empty());
        } else {
            EXPECT_EQ(st, status::Failed);
            ASSERT_EQ(op.boxes.size(), 1u);
            EXPECT_EQ(op.boxes[0].rfind(r.box, 0), 0u) << op.boxes[0];
        }
    }
}

TEST(LensCradleLink, ReplyEndingsOnTheWire) {
    ScriptedLine script(
        {"MED*", "MFE*", "VI*", "VF*", "AC*", "MH*F", "abc*defF", "abc*defF", "RP12*", "RP0000*"});
    BoxOperator op;
    LensCradleLink link(op, optionsFor(script.path()));
    ASSERT_EQ(link.open(settingsWith(10000)), status::Ok);
    std::string reply;
    EXPECT_EQ(link.exchange("X\r\n", reply, 100, CradleReplyMode::Star), status::Ok);
    EXPECT_EQ(reply, "abc*");
    // The rest of that reply is still on the line, then comes the next one; in mode 1 an F
    // ends the reply only after a star.
    EXPECT_EQ(link.exchange("X\r\n", reply, 100, CradleReplyMode::StarThenF), status::Ok);
    EXPECT_EQ(reply, "defFabc*defF");
    long position = -1;
    EXPECT_FALSE(link.readPosition(position)); // five characters: too short
    EXPECT_TRUE(link.readPosition(position));
    EXPECT_EQ(position, 0);
}

TEST(LensCradleLink, TimeoutsAndOverlongReplies) {
    VirtualClock clock;
    camsim::BenchCradle cradle({70000, &clock, {}});
    BoxOperator op;
    LensCradleLink link(op, optionsFor(cradle.devicePath()));
    ASSERT_EQ(link.open(settingsWith(10000)), status::Ok);

    cradle.setFaults({true, 0, false}); // silent
    EXPECT_EQ(link.moveTo(1000, 5000), status::Failed);
    EXPECT_EQ(link.lastEmptyReads(), 51);
    std::string reply;
    EXPECT_EQ(link.exchange("RP\r\n", reply, 1000, CradleReplyMode::Star), status::Failed);
    EXPECT_EQ(link.lastEmptyReads(), 11);
    EXPECT_EQ(link.exchange("RP\r\n", reply, 50, CradleReplyMode::Star), status::Failed);
    EXPECT_EQ(link.lastEmptyReads(), 1);

    cradle.setFaults({false, 0, true}); // replies that never end
    EXPECT_EQ(link.exchange("RP\r\n", reply, 1000, CradleReplyMode::Star), status::Failed);
    EXPECT_EQ(reply.size(), 255u);
    EXPECT_EQ(reply, std::string(255, 'x'));
}

TEST(LensCradleLink, ClampAndSlipShowInThePositionCheck) {
    VirtualClock clock;
    camsim::BenchCradle cradle({66000, &clock, {}});
    BoxOperator op;
    LensCradleLink link(op, optionsFor(cradle.devicePath()));
    ASSERT_EQ(link.open(settingsWith(10000)), status::Ok);
    EXPECT_FALSE(link.moveChecked(67000, 5000)); // clamped by the cradle: position error
    ASSERT_EQ(op.boxes.size(), 1u);
    EXPECT_EQ(op.boxes[0], "Lens cradle position error!");
    EXPECT_EQ(cradle.position(), 66000);

    cradle.setFaults({false, 40, false});
    EXPECT_TRUE(link.moveChecked(60000, 5000)); // the motor counts right, the lens slipped
    EXPECT_EQ(cradle.lensPosition(), 60000 - 40);
    EXPECT_EQ(link.home(), status::Ok);
    EXPECT_EQ(cradle.lensPosition(), 0);
}

TEST(LensCradleLink, TheBenchCradleInsistsOnTheStartUpOrder) {
    VirtualClock clock;
    camsim::BenchCradle cold({70000, &clock, {}});
    platform::SerialDevice line;
    ASSERT_TRUE(line.open(cold.devicePath(), platform::LineSettings{}));
    for (const char* text : {"MA 100\r\n", "VF 100\r\n"}) {
        ASSERT_FALSE(
            line.write(reinterpret_cast<const std::uint8_t*>(text), std::strlen(text), 100ms)
                .failed);
        std::uint8_t byte = 0;
        EXPECT_EQ(line.read(&byte, 1, 100ms, 100ms).count, 0u) << text;
    }
    EXPECT_EQ(cold.orderErrors(), 2);
    EXPECT_FALSE(cold.ready());
}

} // namespace
} // namespace kv::diagnostics
