// What the runner keeps of a stream: its start, and the count of the rest.
#include <gtest/gtest.h>

#include <string>

#include "host/OutputCapture.h"

namespace {

using tqfw::OutputCapture;

TEST(OutputCapture, KeepsTextWithinTheLimitWholeAndAddsNoNote) {
    std::string text;
    OutputCapture capture(&text, 10);
    capture.append("hello ", 6);
    capture.append("you!", 4);
    capture.finish();
    EXPECT_EQ(text, "hello you!");
    EXPECT_EQ(capture.dropped(), 0u);

    std::string empty;
    OutputCapture nothing(&empty, 10);
    nothing.append("", 0);
    nothing.finish();
    EXPECT_EQ(empty, "");
}

TEST(OutputCapture, KeepsTheStartCountsTheRestAndSaysHowMuch) {
    struct Case {
        const char* what;
        std::size_t limit;
        std::vector<std::string> pieces;
        std::string expected;
        std::uint64_t dropped;
    };
    const std::vector<Case> cases = {
        {"one piece over", 4, {"abcdefg"}, "abcd\n(3 more bytes)\n", 3},
        {"a piece straddles the limit", 5, {"abc", "defgh", "ij"}, "abcde\n(5 more bytes)\n", 5},
        {"limit reached exactly, then more", 3, {"abc", "d"}, "abc\n(1 more bytes)\n", 1},
        {"kept text ends its line", 4, {"ab\n", "cd\n"}, "ab\nc\n(2 more bytes)\n", 2},
        {"kept text ends exactly at a line break", 3, {"ab\ncd"}, "ab\n(2 more bytes)\n", 2},
        {"nothing may be kept", 0, {"xyz"}, "(3 more bytes)\n", 3},
        {"binary bytes are kept as they are", 3, {std::string("\0\1\2\3", 4)}, std::string("\0\1\2\n(1 more bytes)\n", 19), 1},
    };
    for (const auto& test : cases) {
        std::string text;
        OutputCapture capture(&text, test.limit);
        for (const auto& piece : test.pieces) capture.append(piece.data(), piece.size());
        EXPECT_EQ(capture.dropped(), test.dropped) << test.what;
        capture.finish();
        capture.finish();  // once only
        EXPECT_EQ(text, test.expected) << test.what;
    }
}

TEST(OutputCapture, CountsFarBeyondFourGibibytes) {
    std::string text;
    OutputCapture capture(&text, 2);
    const std::string block(1u << 16, 'z');
    // 2^33 bytes in 2^17 appends of 64 KiB.
    for (int i = 0; i < (1 << 17); ++i) capture.append(block.data(), block.size());
    capture.finish();
    EXPECT_EQ(text, "zz\n(8589934590 more bytes)\n");
}

TEST(OutputCapture, NoteSaysHowManyMoreBytes) {
    EXPECT_EQ(tqfw::MoreBytesNote(0), "(0 more bytes)");
    EXPECT_EQ(tqfw::MoreBytesNote(51380224), "(51380224 more bytes)");
    EXPECT_EQ(tqfw::kCaptureLimit, 1048576u);
}

}  // namespace
