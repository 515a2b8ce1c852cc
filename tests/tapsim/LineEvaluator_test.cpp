// Line grammar, console texts and the touch state of tapsim, with events recorded instead of
// written to uinput. The FIFO side is covered in FifoLoop_test.cpp, the real kernel in tests/vm.

#include "tapsim/LineEvaluator.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <cerrno>
#include <sstream>
#include <string>
#include <vector>

#include "RecordingEventWriter.h"

namespace {

using Events = std::vector<RecordedEvent>;

// The events for a touch while untouched, a touch while touched, and a release while touched.
Events touch(int x, int y, int p) {
    return {{EV_KEY, BTN_TOUCH, 1},
            {EV_ABS, ABS_X, x},
            {EV_ABS, ABS_Y, y},
            {EV_ABS, ABS_PRESSURE, p},
            {EV_SYN, SYN_REPORT, 0}};
}
Events move(int x, int y, int p) {
    return {
        {EV_ABS, ABS_X, x}, {EV_ABS, ABS_Y, y}, {EV_ABS, ABS_PRESSURE, p}, {EV_SYN, SYN_REPORT, 0}};
}
const Events kRelease = {
    {EV_KEY, BTN_TOUCH, 0}, {EV_ABS, ABS_PRESSURE, 0}, {EV_SYN, SYN_REPORT, 0}};

struct Evaluation {
    std::ostringstream out;
    std::ostringstream err;
    tapsim::Console console{out, err};
    tapsim::TouchSession session;
    RecordingEventWriter writer;

    int line(const std::string& text) {
        return tapsim::evaluate_single_line(text, session, writer, console);
    }
    bool batch(const std::string& text) {
        return tapsim::evaluate_batch(text, session, writer, console);
    }
};

struct LineCase {
    const char* name;
    std::string line;
    int result;
    std::string outAfterEcho;
    std::string err;
    Events events;
    bool quit = false;
};

// Names the case in failure messages and test listings instead of dumping its bytes.
void PrintTo(const LineCase& c, std::ostream* out) {
    *out << c.name;
}

class tapsim_LineGrammar : public testing::TestWithParam<LineCase> {};

TEST_P(tapsim_LineGrammar, EchoesAndActs) {
    const LineCase& c = GetParam();
    Evaluation e;
    EXPECT_EQ(e.line(c.line), c.result);
    EXPECT_EQ(e.out.str(), "line = \"" + c.line + "\"\n" + c.outAfterEcho);
    EXPECT_EQ(e.err.str(), c.err);
    EXPECT_EQ(e.writer.events(), c.events);
    EXPECT_EQ(e.session.quit, c.quit);
}

const std::string kInvalid = "strtol: Invalid argument\n";
const std::string kTrailing = "evaluate_single_line: Invalid argument\n";
const std::string kRange = "strtol: Numerical result out of range\n";

INSTANTIATE_TEST_SUITE_P(
    , tapsim_LineGrammar,
    testing::Values(
        // Valid lines: values pass unchecked against the axes, truncated to 32 bits, and any
        // non-zero pressure touches.
        LineCase{"Plain", "100 200 50", 0, "x = 100, y = 200, p = 50\n\n", "", touch(100, 200, 50)},
        LineCase{"OutsideAxes", "+1281 -1 -7", 0, "x = 1281, y = -1, p = -7\n\n", "",
                 touch(1281, -1, -7)},
        LineCase{"LowBitsOnly", "4294967396 -4294967297 1", 0,
                 "x = 4294967396, y = -4294967297, p = 1\n\n", "", touch(100, -1, 1)},
        LineCase{"ReleaseUntouched", "0 0 0", 0, "x = 0, y = 0, p = 0\n\n", "", {}},
        // White space: any amount around and between the numbers; blank lines do nothing.
        LineCase{"WhiteSpace", " \t100\v\f 200 \r 50\r\n", 0, "x = 100, y = 200, p = 50\n\n", "",
                 touch(100, 200, 50)},
        LineCase{"Empty", "", 0, "", "", {}}, LineCase{"Blank", " \t\r\v\f", 0, "", "", {}},
        // Quit: exact and case-sensitive after trimming.
        LineCase{"QuitPadded", "  quit\t", 0, "User decided to quit tapsim.\n", "", {}, true},
        LineCase{"QuitCapitals", "QUIT", -EINVAL, "", kInvalid, {}},
        // Separators: only white space, so a sign glued to a number does not split it.
        LineCase{"Commas", "1,2,3", -EINVAL, "", kInvalid, {}},
        LineCase{"GluedSign", "1-2 3", -EINVAL, "", kInvalid, {}},
        // Too few or too many numbers.
        LineCase{"TwoNumbers", "1 2", -EINVAL, "", kInvalid, {}},
        LineCase{"FourNumbers", "1 2 3 4", -EINVAL, "", kTrailing, {}},
        LineCase{"ZeroByte", std::string("1 2 3\0 9", 8), -EINVAL, "", kTrailing, {}},
        // Overflow of a signed 64-bit number.
        LineCase{"Overflow", "1 1 -9223372036854775809", -ERANGE, "", kRange, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(tapsim_TouchState, CarriesAcrossBatches) {
    Evaluation e;
    struct Step {
        std::string batch;
        Events events;
        bool touchedAfter;
    };
    const std::vector<Step> steps = {
        {"100 200 50\n", touch(100, 200, 50), true},
        {"110 210 60", move(110, 210, 60), true},
        {"0 0 0\n", kRelease, false},
        {"0 0 0\n", {}, false},
        {"5 6 7\n", touch(5, 6, 7), true},
    };
    std::size_t seen = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.batch);
        EXPECT_TRUE(e.batch(step.batch));
        const Events all = e.writer.events();
        EXPECT_EQ(Events(all.begin() + seen, all.end()), step.events);
        seen = all.size();
        EXPECT_EQ(e.session.touched, step.touchedAfter);
    }
}

TEST(tapsim_TouchState, FailedWriteStopsTheLineAndKeepsStateSoFar) {
    struct Case {
        bool touchedBefore;
        std::size_t failingWrite;
        std::string line;
        std::size_t written;
        bool touchedAfter;
    };
    for (const Case& c : {Case{false, 0, "1 2 3", 0, false}, Case{false, 1, "1 2 3", 1, true},
                          Case{true, 3, "1 2 3", 3, true}, Case{true, 2, "0 0 0", 2, true}}) {
        SCOPED_TRACE(c.line + " failing write " + std::to_string(c.failingWrite));
        Evaluation e;
        e.session.touched = c.touchedBefore;
        e.writer.failWrite(c.failingWrite, EIO);
        EXPECT_EQ(e.line(c.line), -EIO);
        EXPECT_EQ(e.err.str(), "libevdev_uinput_write_event: Input/output error\n");
        EXPECT_EQ(e.writer.events().size(), c.written);
        EXPECT_EQ(e.session.touched, c.touchedAfter);
    }
}

TEST(tapsim_Batch, SplitsAtNewlinesAndStopsAtQuitOrFailure) {
    struct Case {
        std::string batch;
        bool goesOn;
        std::vector<std::string> echoed;
    };
    for (const Case& c : {
             Case{"\n 1 2 3\n\n4 5 6", true, {"", " 1 2 3", "", "4 5 6"}},
             Case{"1 2 3\n quit \n4 5 6\n", false, {"1 2 3", " quit "}},
             Case{"1 2\n4 5 6\n", false, {"1 2"}},
         }) {
        SCOPED_TRACE(c.batch);
        Evaluation e;
        EXPECT_EQ(e.batch(c.batch), c.goesOn);
        std::vector<std::string> echoed;
        std::istringstream lines(e.out.str());
        for (std::string text; std::getline(lines, text);) {
            if (text.starts_with("line = \"")) {
                echoed.push_back(text.substr(8, text.size() - 9));
            }
        }
        EXPECT_EQ(echoed, c.echoed);
    }
}

}  // namespace
