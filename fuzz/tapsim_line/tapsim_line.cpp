// tapsim's evaluation of one FIFO batch against an event writer that checks the event stream:
// a touch begins with BTN_TOUCH 1 only when released, a release carries no position, every
// group ends with SYN_REPORT, and a parsed touch line reads back the same when written out.

#include <linux/input-event-codes.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "tapsim/LineEvaluator.h"
#include "tapsim/TouchLine.h"

namespace {

[[noreturn]] void broken(const char* property) {
    std::fprintf(stderr, "property broken: %s\n", property);
    std::abort();
}

class CheckingWriter final : public tapsim::EventWriter {
  public:
    bool touched = false;
    bool inGroup = false;

    int writeEvent(unsigned int type, unsigned int code, int value) override {
        if (type == EV_KEY && code == BTN_TOUCH) {
            if ((value == 1) == touched) {
                broken("BTN_TOUCH repeats the current state");
            }
            touched = value == 1;
            inGroup = true;
        } else if (type == EV_ABS) {
            if (!touched && code != ABS_PRESSURE) {
                broken("a position without a touch");
            }
            inGroup = true;
        } else if (type == EV_SYN && code == SYN_REPORT) {
            if (!inGroup) {
                broken("SYN_REPORT closes nothing");
            }
            inGroup = false;
        } else {
            broken("an event outside the device's set");
        }
        return 0;
    }
};

void checkLineRoundTrip(std::string_view batch) {
    while (!batch.empty()) {
        const std::size_t newline = batch.find('\n');
        const tapsim::TouchLine line = tapsim::parse_touch_line(batch.substr(0, newline));
        if (line.kind == tapsim::TouchLine::Kind::Touch) {
            const std::string written = std::to_string(line.x) + " " + std::to_string(line.y) +
                                        " " + std::to_string(line.pressure);
            const tapsim::TouchLine again = tapsim::parse_touch_line(written);
            if (again.kind != line.kind || again.x != line.x || again.y != line.y ||
                again.pressure != line.pressure) {
                broken("touch line round trip");
            }
        }
        batch.remove_prefix(newline == std::string_view::npos ? batch.size() : newline + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view batch(reinterpret_cast<const char*>(data), size);
    std::ostringstream out;
    std::ostringstream err;
    tapsim::Console console{out, err};
    tapsim::TouchSession session;
    CheckingWriter writer;
    tapsim::evaluate_batch(batch, session, writer, console);
    if (writer.inGroup) {
        broken("a group without SYN_REPORT");
    }
    if (writer.touched != session.touched) {
        broken("the session's touch state differs from the events");
    }
    checkLineRoundTrip(batch);
    return 0;
}
