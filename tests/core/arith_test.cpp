#include "core/arith.h"
#include "core/failure.h"
#include "core/report.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <functional>
#include <cmath>
#include <limits>
#include <new>
#include <thread>

namespace kestrel {
namespace {

TEST(Rounding, HalvesGoToTheEvenNeighbour)
{
    const std::pair<Extended, std::int64_t> cases[] = {
        {0.5L, 0}, {1.5L, 2}, {2.5L, 2}, {3.5L, 4}, {-0.5L, 0}, {-1.5L, -2}, {-2.5L, -2},
        {2.4999L, 2}, {2.5001L, 3}, {-2.6L, -3}, {0.002L * 750, 1} /* just below 1.5 in extended precision */, {1e15L + 0.5L, 1000000000000000},
    };
    for (const auto& [x, r] : cases)
        EXPECT_EQ(roundHalfEven(x), r) << static_cast<double>(x);
}

TEST(Rounding, ThirtyTwoBitRangeAndTraps)
{
    EXPECT_EQ(roundToInt32(2147483647.4L), 2147483647);
    EXPECT_EQ(roundToInt32(-2147483648.5L), INT32_MIN); // half to even stays in range
    EXPECT_THROW(roundToInt32(2147483647.5L), Failure);
    EXPECT_THROW(roundToInt32(std::numeric_limits<Extended>::quiet_NaN()), Failure);
    EXPECT_THROW(roundHalfEven(1e30L), Failure);

    EXPECT_EQ(truncToInt32(32767.9L), 32767);
    EXPECT_EQ(truncToInt32(-1.9L), -1);
    EXPECT_EQ(truncToInt32(2147483647.99L), 2147483647);
    EXPECT_EQ(truncToInt32(-2147483648.99L), INT32_MIN);
    try {
        truncToInt32(1e10L);
        FAIL();
    } catch (const Failure& f) {
        EXPECT_EQ(f.message(), messages::rangeError);
    }
    EXPECT_THROW(truncToInt32(std::numeric_limits<Extended>::infinity()), Failure);
}

std::string messageOf(auto&& f)
{
    try {
        f();
    } catch (const Failure& e) {
        return e.message();
    }
    return "";
}

TEST(Traps, DivisionOverflowAndNaN)
{
    EXPECT_EQ(divide(1, 4), 0.25L);
    EXPECT_EQ(messageOf([] { divide(0, 0); }), messages::invalidOperation);
    EXPECT_EQ(messageOf([] { divide(1, 0); }), messages::divisionByZero);
    EXPECT_EQ(messageOf([] { divide(std::numeric_limits<Extended>::quiet_NaN(), 1); }), messages::invalidOperation);
    EXPECT_EQ(messageOf([] { divide(std::numeric_limits<Extended>::max(), 0.5L); }), messages::overflow);
    EXPECT_EQ(messageOf([] { requireOrdered(1, std::numeric_limits<Extended>::quiet_NaN()); }),
              messages::invalidOperation);
    EXPECT_EQ(messageOf([] { toDouble(1e400L); }), messages::overflow);
    EXPECT_EQ(messageOf([] { toSingle(1e39L); }), messages::overflow);
    EXPECT_EQ(toSingle(std::numeric_limits<Extended>::infinity()), std::numeric_limits<float>::infinity());
    // Extended sums are held in a double after each step.
    EXPECT_EQ(addStored(1.0, 1e-17L), 1.0);
    EXPECT_EQ(messageOf([] { addStored(std::numeric_limits<double>::max(), std::numeric_limits<double>::max()); }),
              messages::overflow);
}

// What a user reads when a routine fails: the failure's own words, whatever threw it,
// followed directly by the routine's line, in the routine's kind of box; the routine
// then goes on with what its result held.
TEST(Failures, AReportIsTheFailuresWordsAndTheRoutinesLine)
{
    const std::vector<std::pair<std::function<void()>, std::string>> failures = {
        {[] { throw Failure("Range check error"); }, "Range check error"},
        {[] { (void)std::vector<int>().at(3); }, "Range check error"},
        {[] { throw std::bad_alloc(); }, "Out of memory"},
        {[] { failListIndex(3); }, "List index out of bounds (3)"},
        {[] { divide(0, 0); }, "Invalid floating point operation"},
    };
    for (const auto& [body, words] : failures) {
        testing::TestHost host;
        EXPECT_FALSE(reportFailures(host, inFunction("loadFitsHeader"), body));
        EXPECT_FALSE(reportFailures(host, inProcedure("QuickSort16"), body, BoxKind::plain));
        ASSERT_EQ(host.boxes.size(), 2u);
        EXPECT_EQ(host.boxes[0].kind, testing::Box::error);
        EXPECT_EQ(host.boxes[0].text, words + "... in function loadFitsHeader.");
        EXPECT_EQ(host.boxes[1].kind, testing::Box::plain);
        EXPECT_EQ(host.boxes[1].text, words + "... in procedure QuickSort16.");
    }
    testing::TestHost quiet;
    EXPECT_TRUE(reportFailures(quiet, inFunction("getTemp"), [] {}));
    EXPECT_TRUE(quiet.boxes.empty());
}

// Worker threads compute in extended precision too. On Windows a thread may start with
// the x87 unit cut to 53 bits (its runtime must set it back), which would change the
// bits of every sum a run over several files makes.
TEST(Extended, HoldsSixtyFourBitsInEveryThread)
{
    volatile Extended one = 1;
    const auto sixtyFourBits = [&] {
        const volatile Extended sum = one + std::ldexp(Extended{1}, -63);
        return sum != one;
    };
    EXPECT_TRUE(sixtyFourBits());
    bool inThread = false;
    std::thread([&] { inThread = sixtyFourBits(); }).join();
    EXPECT_TRUE(inThread);
}

} // namespace
} // namespace kestrel
