#include "shell/hand_over.h"

#include <gtest/gtest.h>

namespace kv::shell {
namespace {

TEST(HandOver, RoundTripAndUnsendablePaths) {
    const std::vector<std::string> files{"/a/b.jpg", "/c d/é.kvi"};
    const HandOver h = parseHandOver(formatHandOver(files));
    EXPECT_EQ(h.state, HandOverState::Complete);
    EXPECT_EQ(h.files, files);
    EXPECT_EQ(formatHandOver({"x\ny", std::string("n\0ul", 4), ""}), "\n");
    EXPECT_EQ(parseHandOver("\n").state, HandOverState::Complete);
}

TEST(HandOver, PartialBadAndOversizedMessages) {
    struct Case {
        std::string bytes;
        HandOverState state;
    };
    std::string many;
    for (std::size_t i = 0; i <= kMaxHandOverFiles; ++i)
        many += "f\n";
    many += "\n";
    const Case cases[] = {
        {"", HandOverState::Incomplete},
        {"/a.jpg", HandOverState::Incomplete},
        {"/a.jpg\n", HandOverState::Incomplete},
        {"/a.jpg\n\nmore", HandOverState::Invalid},
        {std::string("/a\0.jpg\n\n", 9), HandOverState::Invalid},
        {std::string(kMaxHandOverBytes + 1, 'x'), HandOverState::Invalid},
        {many, HandOverState::Invalid},
    };
    for (const Case& c : cases) {
        const HandOver h = parseHandOver(c.bytes);
        EXPECT_EQ(h.state, c.state) << c.bytes.substr(0, 20);
        if (h.state != HandOverState::Complete) {
            EXPECT_TRUE(h.files.empty());
        }
    }
}

} // namespace
} // namespace kv::shell
