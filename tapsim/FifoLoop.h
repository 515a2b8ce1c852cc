#pragma once

#include <sys/types.h>

#include <string>

#include "tapsim/Console.h"
#include "tapsim/EventWriter.h"
#include "tapsim/LineEvaluator.h"

namespace tapsim {

inline constexpr const char* kFifoPath = "/tmp/tapsim.fifo";

// The FIFO tapsim prepared, as the file system knows it; every later open must find this one.
struct FifoIdentity {
    dev_t device = 0;
    ino_t inode = 0;
};

// Makes sure a FIFO of tapsim's own user exists at path: such a FIFO is reused; anything else
// (a FIFO of another user included) is removed and replaced by a new FIFO with mode 0646 (less
// the umask). Fills prepared and returns 0, or returns the negated error number after reporting
// the failing call ("lstat", "remove" or "mkfifo").
int prepare_fifo(const std::string& path, FifoIdentity& prepared, Console& console);

// Opens the FIFO for one batch after another and evaluates them until a quit line, a line that
// fails, a failed open or read, or an oversized batch. Each open follows no symbolic link, takes
// no controlling terminal and must find the prepared FIFO; anything else at the path ends the
// loop like a failed open.
void serve_fifo(const std::string& path, const FifoIdentity& prepared, TouchSession& session,
                EventWriter& writer, Console& console);

// Removes the FIFO. Returns 0 when that worked and 255 when it did not (a FIFO that is gone
// already included, though only other failures are reported).
int remove_fifo(const std::string& path, Console& console);

// Everything after the device exists: prepare, serve, remove. Returns the program's exit
// status: the negated error number when preparing failed, otherwise remove_fifo's result.
int run_fifo(const std::string& path, EventWriter& writer, Console& console);

}  // namespace tapsim
