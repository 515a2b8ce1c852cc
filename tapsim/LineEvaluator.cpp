#include "tapsim/LineEvaluator.h"

#include <linux/input-event-codes.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "tapsim/TouchLine.h"

namespace tapsim {

namespace {

struct Event {
    unsigned int type;
    unsigned int code;
    std::int64_t value;
};

// Event values are 32 bits wide; larger numbers keep their low 32 bits, and nothing is clamped
// to the axis ranges.
int writeOne(const Event& event, EventWriter& writer, Console& console) {
    const int result =
        writer.writeEvent(event.type, event.code, static_cast<std::int32_t>(event.value));
    if (result < 0) {
        console.out.flush();
        console.err << "libevdev_uinput_write_event: " << std::strerror(-result) << '\n';
        console.err.flush();
    }
    return result;
}

int writeAll(std::initializer_list<Event> events, EventWriter& writer, Console& console) {
    for (const Event& event : events) {
        if (const int result = writeOne(event, writer, console); result < 0) {
            return result;
        }
    }
    return 0;
}

int writeTouch(const TouchLine& line, TouchSession& session, EventWriter& writer,
               Console& console) {
    if (line.pressure != 0) {
        if (!session.touched) {
            if (const int result = writeOne({EV_KEY, BTN_TOUCH, 1}, writer, console); result < 0) {
                return result;
            }
            session.touched = true;
        }
        return writeAll({{EV_ABS, ABS_X, line.x},
                         {EV_ABS, ABS_Y, line.y},
                         {EV_ABS, ABS_PRESSURE, line.pressure},
                         {EV_SYN, SYN_REPORT, 0}},
                        writer, console);
    }
    if (!session.touched) {
        return 0;
    }
    // A release carries no position.
    if (const int result =
            writeAll({{EV_KEY, BTN_TOUCH, 0}, {EV_ABS, ABS_PRESSURE, 0}, {EV_SYN, SYN_REPORT, 0}},
                     writer, console);
        result < 0) {
        return result;
    }
    session.touched = false;
    return 0;
}

}  // namespace

int evaluate_single_line(std::string_view line, TouchSession& session, EventWriter& writer,
                         Console& console) {
    console.out << "line = \"" << line << "\"\n";
    const TouchLine parsed = parse_touch_line(line);
    int result = 0;
    switch (parsed.kind) {
        case TouchLine::Kind::Empty:
            break;
        case TouchLine::Kind::Quit:
            console.out << "User decided to quit tapsim.\n";
            session.quit = true;
            break;
        case TouchLine::Kind::Invalid:
            reportError(console, parsed.errorPrefix, parsed.error);
            result = -parsed.error;
            break;
        case TouchLine::Kind::Touch:
            console.out << "x = " << parsed.x << ", y = " << parsed.y << ", p = " << parsed.pressure
                        << "\n\n";
            result = writeTouch(parsed, session, writer, console);
            break;
    }
    // Whoever watches the console sees each line as soon as it took effect.
    console.out.flush();
    return result;
}

bool evaluate_batch(std::string_view batch, TouchSession& session, EventWriter& writer,
                    Console& console) {
    while (!batch.empty()) {
        const std::size_t newline = batch.find('\n');
        const std::string_view line = batch.substr(0, newline);
        if (evaluate_single_line(line, session, writer, console) < 0 || session.quit) {
            return false;
        }
        batch.remove_prefix(newline == std::string_view::npos ? batch.size() : newline + 1);
    }
    return true;
}

}  // namespace tapsim
