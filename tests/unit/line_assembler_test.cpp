// Splitting a client's byte stream into lines, the cap on an unfinished line, and memory
// failures.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/line_assembler.h"

namespace {

struct assembler_holder {
    line_assembler* assembler = line_assembler_create();
    ~assembler_holder() { line_assembler_destroy(assembler); }
};

// One receive: calls line_assembler_next with the chunk until it returns null, as the client
// thread does, and collects the lines.
std::vector<std::string> receive(line_assembler* assembler, const char* chunk) {
    std::vector<std::string> lines;
    while (const char* line = line_assembler_next(assembler, chunk)) {
        lines.emplace_back(line);
        if (lines.size() > 100000)
            break;  // guards against a loop that never ends
    }
    return lines;
}

using lines = std::vector<std::string>;

TEST(LineAssembler, SplitsChunksIntoLines) {
    struct step {
        std::string chunk;  // received bytes, cut at a zero byte as the assembler does
        lines expected;
    };
    struct {
        const char* name;
        std::vector<step> steps;
        size_t pending_after;
    } const cases[] = {
        {"two lines in one chunk", {{"a\nb\n", {"a", "b"}}}, 0},
        {"line over two chunks", {{"ab", {}}, {"c\n", {"abc"}}}, 0},
        {"carriage return stays", {{"x\r\n", {"x\r"}}}, 0},
        {"empty line", {{"\n", {""}}}, 0},
        {"empty lines in a row", {{"\n\n\na\n", {"", "", "", "a"}}}, 0},
        {"rest waits for the next chunk", {{"a\nb", {"a"}}, {"c\n", {"bc"}}}, 0},
        {"unfinished rest stays pending", {{"a\nbcd", {"a"}}}, 3},
        {"line over many chunks", {{"a", {}}, {"b", {}}, {"c", {}}, {"d\ne", {"abcd"}}}, 1},
        {"empty chunk", {{"", {}}, {"a\n", {"a"}}}, 0},
    };
    for (const auto& c : cases) {
        assembler_holder holder;
        ASSERT_NE(holder.assembler, nullptr);
        for (const auto& s : c.steps) {
            EXPECT_EQ(receive(holder.assembler, s.chunk.c_str()), s.expected) << c.name;
        }
        EXPECT_EQ(line_assembler_pending_length(holder.assembler), c.pending_after) << c.name;
    }
}

TEST(LineAssembler, IgnoresBytesAfterAZeroByte) {
    assembler_holder holder;
    const char chunk[] = "a\n\0b\n";
    EXPECT_EQ(receive(holder.assembler, chunk), lines{"a"});
    EXPECT_EQ(line_assembler_pending_length(holder.assembler), 0u);
}

// While lines of one chunk are handed out, passing the chunk again must not append it again;
// the call that returns null ends the chunk, so the next call appends its chunk.
TEST(LineAssembler, AppendsAChunkOnlyOnce) {
    assembler_holder holder;
    const char* chunk = "a\nb\nc";
    EXPECT_STREQ(line_assembler_next(holder.assembler, chunk), "a");
    EXPECT_STREQ(line_assembler_next(holder.assembler, chunk), "b");
    EXPECT_EQ(line_assembler_next(holder.assembler, chunk), nullptr);
    EXPECT_EQ(line_assembler_pending_length(holder.assembler), 1u);
    // The null ended that receive: the same bytes passed again are the next receive's chunk.
    EXPECT_STREQ(line_assembler_next(holder.assembler, chunk), "ca");
    EXPECT_EQ(line_assembler_pending_length(holder.assembler), 3u);  // "b\nc"
}

TEST(LineAssembler, NullChunkOnlyDrainsPendingLines) {
    assembler_holder holder;
    EXPECT_EQ(line_assembler_next(holder.assembler, nullptr), nullptr);
    EXPECT_STREQ(line_assembler_next(holder.assembler, "a\nb\nc"), "a");
    EXPECT_STREQ(line_assembler_next(holder.assembler, nullptr), "b");
    EXPECT_EQ(line_assembler_next(holder.assembler, nullptr), nullptr);
    EXPECT_EQ(receive(holder.assembler, "\n"), lines{"c"});
}

// The returned line stays intact until the next call, even though it lives in the buffer.
TEST(LineAssembler, ReturnedLineSurvivesUntilTheNextCall) {
    assembler_holder holder;
    const char* first = line_assembler_next(holder.assembler, "first\nsecond\n");
    std::string copy = first;
    EXPECT_EQ(copy, "first");
    const char* second = line_assembler_next(holder.assembler, "first\nsecond\n");
    EXPECT_STREQ(second, "second");
}

TEST(LineAssembler, NullAssemblerIsHarmless) {
    EXPECT_EQ(line_assembler_next(nullptr, "a\n"), nullptr);
    EXPECT_EQ(line_assembler_pending_length(nullptr), 0u);
    line_assembler_destroy(nullptr);
}

TEST(LineAssembler, LineOfExactlyTheCapIsKept) {
    assembler_holder holder;
    std::string line(LINE_ASSEMBLER_PENDING_MAX, 'x');
    EXPECT_EQ(receive(holder.assembler, line.c_str()), lines{});
    EXPECT_EQ(line_assembler_pending_length(holder.assembler), LINE_ASSEMBLER_PENDING_MAX);
    EXPECT_EQ(receive(holder.assembler, "\nnext\n"), (lines{line, "next"}));
}

TEST(LineAssembler, LineOverTheCapIsDroppedWhole) {
    // The over-long line arrives in one chunk, together with the lines around it.
    assembler_holder holder;
    std::string chunk =
        "before\n" + std::string(LINE_ASSEMBLER_PENDING_MAX + 1, 'y') + "\nafter\nrest";
    EXPECT_EQ(receive(holder.assembler, chunk.c_str()), (lines{"before", "after"}));
    EXPECT_EQ(receive(holder.assembler, "\n"), lines{"rest"});
}

TEST(LineAssembler, HugeLineInChunksIsDroppedAndLaterLinesComeOut) {
    assembler_holder holder;
    const std::string piece(1023, 'z');
    EXPECT_EQ(receive(holder.assembler, "keep me\nz"), lines{"keep me"});
    for (int k = 0; k < 200; ++k)
        EXPECT_EQ(receive(holder.assembler, piece.c_str()), lines{});
    // The end of the over-long line and the lines after it share a chunk.
    EXPECT_EQ(receive(holder.assembler, "zzz\nnormal 1\nnormal 2\n"),
              (lines{"normal 1", "normal 2"}));
    EXPECT_EQ(receive(holder.assembler, "normal 3\n"), lines{"normal 3"});
    EXPECT_EQ(line_assembler_pending_length(holder.assembler), 0u);
}

TEST(LineAssembler, TenMegabytesWithoutALineFeedStayBounded) {
    assembler_holder holder;
    const std::string piece(1024, 'q');
    size_t largest = 0;
    for (size_t sent = 0; sent < 10u * 1024 * 1024; sent += piece.size()) {
        ASSERT_EQ(line_assembler_next(holder.assembler, piece.c_str()), nullptr);
        size_t pending = line_assembler_pending_length(holder.assembler);
        if (pending > largest)
            largest = pending;
        ASSERT_LE(pending, LINE_ASSEMBLER_PENDING_MAX);
    }
    EXPECT_GT(largest, LINE_ASSEMBLER_PENDING_MAX - piece.size());
    EXPECT_EQ(receive(holder.assembler, "tail\nline after\n"), lines{"line after"});
}

// The over-long line ends in the chunk that takes it over the cap, and an empty line
// follows at once.
TEST(LineAssembler, LineCutInItsLastChunkLetsTheNextLinesOut) {
    assembler_holder holder;
    std::string almost(LINE_ASSEMBLER_PENDING_MAX - 2, 'a');
    EXPECT_EQ(receive(holder.assembler, almost.c_str()), lines{});
    EXPECT_EQ(receive(holder.assembler, "xyz\n\nnext\n"), (lines{"", "next"}));
    EXPECT_EQ(line_assembler_pending_length(holder.assembler), 0u);
}

// A line that just fits the cap followed, in the same chunk, by one that does not.
TEST(LineAssembler, CapAppliesToEachLineOfAChunk) {
    assembler_holder holder;
    std::string fits(LINE_ASSEMBLER_PENDING_MAX - 4, 'f');
    EXPECT_EQ(receive(holder.assembler, "abcd"), lines{});
    std::string chunk = fits + "\n" + std::string(LINE_ASSEMBLER_PENDING_MAX + 1, 'g') + "\nok\n";
    EXPECT_EQ(receive(holder.assembler, chunk.c_str()), (lines{"abcd" + fits, "ok"}));
}

TEST(LineAssembler, FailedCreationGivesNull) {
    line_assembler_fail_next_allocations(1);
    EXPECT_EQ(line_assembler_create(), nullptr);
    assembler_holder holder;
    EXPECT_NE(holder.assembler, nullptr);
}

// Memory for the pending text cannot be had: the unfinished line is dropped up to its line
// feed, and everything after it comes out.
TEST(LineAssembler, FailedGrowthDropsTheUnfinishedLine) {
    assembler_holder holder;
    line_assembler_fail_next_allocations(1000);
    EXPECT_EQ(receive(holder.assembler, "lost\nlost too"), lines{});
    line_assembler_fail_next_allocations(0);
    EXPECT_EQ(line_assembler_pending_length(holder.assembler), 0u);
    EXPECT_EQ(receive(holder.assembler, " still lost\nkept\n"), lines{"kept"});

    // Growth beyond the first buffer fails: lines already in the buffer still come out.
    std::string big(1000, 'b');
    line_assembler_fail_next_allocations(1);
    EXPECT_EQ(receive(holder.assembler, ("a\n" + big + "\nc\n").c_str()), (lines{"a", "c"}));
    line_assembler_fail_next_allocations(0);
}

}  // namespace
