#pragma once

#include <string>

#include "tapsim/Console.h"
#include "tapsim/EventWriter.h"
#include "tapsim/LineEvaluator.h"

namespace tapsim {

inline constexpr const char* kFifoPath = "/tmp/tapsim.fifo";

// Makes sure a FIFO exists at path: an existing FIFO is reused, anything else is removed and
// replaced by a new FIFO with mode 0646 (less the umask). Returns 0, or the negated error
// number after reporting the failing call ("lstat", "remove" or "mkfifo").
int prepare_fifo(const std::string& path, Console& console);

// Opens the FIFO for one batch after another and evaluates them until a quit line, a line that
// fails, a failed open or read, or an oversized batch.
void serve_fifo(const std::string& path, TouchSession& session, EventWriter& writer,
                Console& console);

// Removes the FIFO. Returns 0 when that worked and 255 when it did not (a FIFO that is gone
// already included, though only other failures are reported).
int remove_fifo(const std::string& path, Console& console);

// Everything after the device exists: prepare, serve, remove. Returns the program's exit
// status: the negated error number when preparing failed, otherwise remove_fifo's result.
int run_fifo(const std::string& path, EventWriter& writer, Console& console);

}  // namespace tapsim
