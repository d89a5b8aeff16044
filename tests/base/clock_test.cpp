#include "base/clock.h"
#include "base/operator.h"

#include <gtest/gtest.h>

#include <deque>

using namespace std::chrono_literals;

namespace kv {
namespace {

TEST(VirtualClock, SleepsMoveTimeAndTellObservers) {
    VirtualClock clock;
    std::vector<long> seen;
    clock.addObserver([&](std::chrono::milliseconds t) { seen.push_back(long(t.count())); });
    clock.sleep(500ms);
    clock.sleep(0ms);
    clock.sleep(-5ms);
    clock.advance(4000ms);
    EXPECT_EQ(clock.now(), 4500ms);
    EXPECT_EQ(clock.slept(), 4500ms);
    EXPECT_EQ(seen, (std::vector<long>{500, 4500}));
}

TEST(RealClock, SlicedSleepRunsTheHookAndKeepsTime) {
    int pumps = 0;
    RealClock clock([&] { ++pumps; });
    const auto before = clock.now();
    clock.sleep(120ms);
    EXPECT_GE(clock.now() - before, 120ms);
    EXPECT_GE(pumps, 3);
}

class AnswerQueue : public SilentOperator {
public:
    std::deque<std::optional<std::string>> answers;
    std::vector<std::string> messages;
    std::optional<std::string> askText(std::string_view, std::string_view) override {
        auto a = answers.front();
        answers.pop_front();
        return a;
    }
    void message(std::string_view text) override { messages.emplace_back(text); }
};

TEST(AskNumber, ParsesRefusesAndCancels) {
    struct Row {
        std::vector<std::optional<std::string>> answers;
        std::optional<long> expected;
        std::size_t refusals;
    };
    const Row rows[] = {
        {{" 40 "}, 40, 0},
        {{"-3"}, -3, 0},
        {{"abc", "12"}, 12, 1},
        {{"1x", "", "7z"}, std::nullopt, 3},
        {{std::nullopt}, std::nullopt, 0},
    };
    for (const Row& row : rows) {
        AnswerQueue op;
        op.answers.assign(row.answers.begin(), row.answers.end());
        EXPECT_EQ(askNumber(op, "DAC value:", 16), row.expected);
        EXPECT_EQ(op.messages.size(), row.refusals);
    }
}

} // namespace
} // namespace kv
