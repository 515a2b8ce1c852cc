#pragma once

#include <cstddef>
#include <string>

#include "tapsim/Console.h"
#include "tapsim/UniqueFd.h"

namespace tapsim {

// One batch is everything one opening of the FIFO delivers; it must leave the last byte of
// this buffer free, so a batch holds at most 4095 bytes.
inline constexpr std::size_t kBatchBufferSize = 4096;

// Reads from the FIFO until every writer has closed its end, then closes it. Returns false
// after a read error or a batch too large for the buffer (reported on console.err, nothing
// kept in batch); a failing close is reported but the batch still counts.
bool harvest_fifo(UniqueFd fifo, std::string& batch, Console& console);

}  // namespace tapsim
