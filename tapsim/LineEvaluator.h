#pragma once

#include <string_view>

#include "tapsim/Console.h"
#include "tapsim/EventWriter.h"

namespace tapsim {

// State that outlives a batch: a touch begun in one batch is continued or released by later ones.
struct TouchSession {
    bool touched = false;  // BTN_TOUCH currently reported as pressed
    bool quit = false;     // a quit line was read
};

// Echoes the line, then acts on it: nothing for an empty line, the quit flag for "quit", the
// touch events for "X Y P". Returns 0, or a negative error number for a line that does not
// parse or an event that could not be written (both already reported on console.err).
int evaluate_single_line(std::string_view line, TouchSession& session, EventWriter& writer,
                         Console& console);

// Evaluates a batch line by line (a final piece without newline is a line too) and stops at the
// first failure or quit. Returns whether the program should wait for the next batch.
bool evaluate_batch(std::string_view batch, TouchSession& session, EventWriter& writer,
                    Console& console);

}  // namespace tapsim
