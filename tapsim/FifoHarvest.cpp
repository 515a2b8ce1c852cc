#include "tapsim/FifoHarvest.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace tapsim {

namespace {

void closeReporting(UniqueFd& fifo, Console& console) {
    if (fifo.close() != 0) {
        reportError(console, "close", errno);
    }
}

}  // namespace

bool harvest_fifo(UniqueFd fifo, std::string& batch, Console& console) {
    batch.clear();
    std::array<char, kBatchBufferSize> buffer;
    std::size_t used = 0;
    for (;;) {
        if (used == buffer.size()) {
            console.out.flush();
            console.err << "harvest_fifo: " << std::strerror(EFBIG) << '\n';
            console.err.flush();
            closeReporting(fifo, console);
            return false;
        }
        const ssize_t count = ::read(fifo.get(), buffer.data() + used, buffer.size() - used);
        if (count < 0) {
            reportError(console, "read", errno);
            closeReporting(fifo, console);
            return false;
        }
        if (count == 0) {
            break;
        }
        used += static_cast<std::size_t>(count);
    }
    closeReporting(fifo, console);
    batch.assign(buffer.data(), used);
    return true;
}

}  // namespace tapsim
