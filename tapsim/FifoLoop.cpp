#include "tapsim/FifoLoop.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "tapsim/FifoHarvest.h"
#include "tapsim/UniqueFd.h"

namespace tapsim {

namespace {

int failWith(Console& console, const char* call) {
    const int error = errno;
    reportError(console, call, error);
    return -error;
}

}  // namespace

int prepare_fifo(const std::string& path, Console& console) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0) {
        if (S_ISFIFO(status.st_mode)) {
            return 0;
        }
        // lstat, so a symbolic link is replaced itself and never followed.
        if (std::remove(path.c_str()) != 0 && errno != ENOENT) {
            return failWith(console, "remove");
        }
    } else if (errno != ENOENT) {
        return failWith(console, "lstat");
    }
    if (::mkfifo(path.c_str(), 0646) != 0) {
        return failWith(console, "mkfifo");
    }
    return 0;
}

void serve_fifo(const std::string& path, TouchSession& session, EventWriter& writer,
                Console& console) {
    std::string batch;
    while (!session.quit) {
        // Blocks until some process opens the FIFO for writing.
        UniqueFd fifo(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fifo.valid()) {
            reportError(console, "open", errno);
            return;
        }
        if (!harvest_fifo(std::move(fifo), batch, console)) {
            return;
        }
        if (!evaluate_batch(batch, session, writer, console)) {
            return;
        }
    }
}

int remove_fifo(const std::string& path, Console& console) {
    if (std::remove(path.c_str()) == 0) {
        return 0;
    }
    if (errno != ENOENT) {
        reportError(console, "remove", errno);
    }
    return 255;
}

int run_fifo(const std::string& path, EventWriter& writer, Console& console) {
    if (const int prepared = prepare_fifo(path, console); prepared != 0) {
        return prepared;
    }
    TouchSession session;
    serve_fifo(path, session, writer, console);
    return remove_fifo(path, console);
}

}  // namespace tapsim
