#include "tapsim/FifoLoop.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

namespace {

bool isOwnFifo(const struct stat& status) {
    return S_ISFIFO(status.st_mode) && status.st_uid == ::geteuid();
}

FifoIdentity identityOf(const struct stat& status) {
    return {status.st_dev, status.st_ino};
}

}  // namespace

int prepare_fifo(const std::string& path, FifoIdentity& prepared, Console& console) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0) {
        // Another user's FIFO in a shared folder could later be renamed away by that user and
        // something else put in its place; only our own is kept.
        if (isOwnFifo(status)) {
            prepared = identityOf(status);
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
    if (::lstat(path.c_str(), &status) != 0) {
        return failWith(console, "lstat");
    }
    if (!isOwnFifo(status)) {
        // Replaced between mkfifo and lstat: not ours to serve.
        errno = EEXIST;
        return failWith(console, "mkfifo");
    }
    prepared = identityOf(status);
    return 0;
}

void serve_fifo(const std::string& path, const FifoIdentity& prepared, TouchSession& session,
                EventWriter& writer, Console& console) {
    std::string batch;
    while (!session.quit) {
        // Blocks until some process opens the FIFO for writing.
        UniqueFd fifo(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY));
        if (!fifo.valid()) {
            reportError(console, "open", errno);
            return;
        }
        struct stat status {};
        if (::fstat(fifo.get(), &status) != 0 || !S_ISFIFO(status.st_mode) ||
            status.st_dev != prepared.device || status.st_ino != prepared.inode) {
            console.out.flush();
            console.err << "open: " << path << " is no longer the FIFO tapsim prepared\n";
            console.err.flush();
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
    FifoIdentity prepared;
    if (const int status = prepare_fifo(path, prepared, console); status != 0) {
        return status;
    }
    TouchSession session;
    serve_fifo(path, prepared, session, writer, console);
    return remove_fifo(path, console);
}

}  // namespace tapsim
