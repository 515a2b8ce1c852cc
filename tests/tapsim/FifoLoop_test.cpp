// tapsim's FIFO side against real FIFOs in a temporary folder: preparation, batches and their
// size limit, removal and exit statuses. The loop runs in a second thread; events are recorded.

#include "tapsim/FifoLoop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>

#include "RecordingEventWriter.h"
#include "tapsim/UniqueFd.h"
#include "tests/support/TempDir.h"

namespace {

using namespace std::chrono_literals;

using krvtest::TempDir;

bool existsAs(const std::string& path, mode_t type) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 && (status.st_mode & S_IFMT) == type;
}

bool gone(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) != 0 && errno == ENOENT;
}

// Waits (bounded) until the loop has the FIFO open for reading, then opens it for writing.
tapsim::UniqueFd openWriter(const std::string& path) {
    for (int attempt = 0; attempt < 5000; ++attempt) {
        if (existsAs(path, S_IFIFO)) {
            tapsim::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
            if (fd.valid()) {
                ::fcntl(fd.get(), F_SETFL, 0);
                return fd;
            }
        }
        std::this_thread::sleep_for(2ms);
    }
    return tapsim::UniqueFd();
}

// One batch: a writer that writes everything and closes.
void writeBatch(const std::string& path, const std::string& bytes) {
    tapsim::UniqueFd fd = openWriter(path);
    ASSERT_TRUE(fd.valid()) << path << " never got a reader";
    ASSERT_EQ(::write(fd.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

struct Loop {
    std::ostringstream out;
    std::ostringstream err;
    tapsim::Console console{out, err};
    RecordingEventWriter writer;
    std::future<int> status;

    explicit Loop(const std::string& path)
        : status(std::async(std::launch::async,
                            [this, path] { return tapsim::run_fifo(path, writer, console); })) {}

    int finish(const std::string& path) {
        if (status.wait_for(10s) != std::future_status::ready) {
            ADD_FAILURE() << "the loop did not end; sending quit";
            writeBatch(path, "quit\n");
        }
        return status.get();
    }
};

TEST(tapsim_FifoLoop, ReusesAFifoAcrossBatchesAndRemovesItAtQuit) {
    TempDir folder;
    const std::string path = folder.file("tapsim.fifo");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    struct stat before {};
    ASSERT_EQ(::lstat(path.c_str(), &before), 0);

    Loop loop(path);
    writeBatch(path, "100 200 50\n");
    ASSERT_TRUE(loop.writer.waitForEvents(5));
    writeBatch(path, "0 0 0");
    ASSERT_TRUE(loop.writer.waitForEvents(8));
    struct stat during {};
    ASSERT_EQ(::lstat(path.c_str(), &during), 0);
    EXPECT_EQ(during.st_ino, before.st_ino);
    EXPECT_EQ(during.st_mode, before.st_mode);
    writeBatch(path, " quit \n1 2 3\n");

    EXPECT_EQ(loop.finish(path), 0);
    EXPECT_TRUE(gone(path));
    EXPECT_EQ(loop.writer.events().size(), 8u);
    EXPECT_NE(loop.out.str().find("User decided to quit tapsim.\n"), std::string::npos);
    EXPECT_EQ(loop.out.str().find("1 2 3"), std::string::npos);
    EXPECT_EQ(loop.err.str(), "");
}

TEST(tapsim_FifoLoop, ReplacesARegularFileWithAFifoOfMode0646LessUmask) {
    TempDir folder;
    const std::string path = folder.file("tapsim.fifo");
    std::ofstream(path) << "stale\n";
    const mode_t mask = ::umask(022);
    ::umask(mask);

    Loop loop(path);
    for (int attempt = 0; attempt < 5000 && !existsAs(path, S_IFIFO); ++attempt) {
        std::this_thread::sleep_for(2ms);
    }
    struct stat status {};
    ASSERT_EQ(::lstat(path.c_str(), &status), 0);
    ASSERT_TRUE(S_ISFIFO(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0646 & ~mask);
    writeBatch(path, "quit");
    EXPECT_EQ(loop.finish(path), 0);
    EXPECT_TRUE(gone(path));
}

TEST(tapsim_FifoLoop, OneBatchEndsTheProgram) {
    const std::string touch = "1 2 3\n";
    const std::string quit = "\nquit";
    struct Case {
        const char* name;
        std::string batch;
        std::size_t events;
        std::string err;
        bool evaluated;
    };
    for (const Case& c : {
             Case{"4095 bytes", touch + std::string(4095 - 11, ' ') + quit, 5, "", true},
             Case{"4096 bytes", touch + std::string(4096 - 11, ' ') + quit, 0,
                  "harvest_fifo: File too large\n", false},
             Case{"bad line", "1 2\n3 4 5\n", 0, "strtol: Invalid argument\n", true},
         }) {
        SCOPED_TRACE(c.name);
        TempDir folder;
        const std::string path = folder.file("tapsim.fifo");
        Loop loop(path);
        writeBatch(path, c.batch);
        EXPECT_EQ(loop.finish(path), 0);
        EXPECT_TRUE(gone(path));
        EXPECT_EQ(loop.writer.events().size(), c.events);
        EXPECT_EQ(loop.err.str(), c.err);
        EXPECT_EQ(!loop.out.str().empty(), c.evaluated);
    }
}

TEST(tapsim_FifoLoop, SomethingElseSwappedInBetweenBatchesIsNeitherFollowedNorRead) {
    // Whoever owns the folder can rename the FIFO away while a batch is being written and put
    // something in its place; the next open must not reach the secret through it.
    enum class Swap { Symlink, OtherFifo, RegularFile };
    for (const Swap swap : {Swap::Symlink, Swap::OtherFifo, Swap::RegularFile}) {
        SCOPED_TRACE(static_cast<int>(swap));
        TempDir folder;
        const std::string path = folder.file("tapsim.fifo");
        const std::string secret = folder.write("secret", "7 8 9 secret first line\n");
        Loop loop(path);
        tapsim::UniqueFd writer = openWriter(path);
        ASSERT_TRUE(writer.valid());
        ASSERT_EQ(::rename(path.c_str(), folder.file("moved").c_str()), 0);
        switch (swap) {
            case Swap::Symlink:
                ASSERT_EQ(::symlink(secret.c_str(), path.c_str()), 0);
                break;
            case Swap::OtherFifo:
                ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
                break;
            case Swap::RegularFile:
                folder.write("tapsim.fifo", "7 8 9 secret first line\n");
                break;
        }
        ASSERT_EQ(::write(writer.get(), "1 2 3\n", 6), 6);
        writer.close();
        if (swap == Swap::OtherFifo) {
            // The loop may drop the impostor before this write lands: no SIGPIPE for that.
            const auto previous = std::signal(SIGPIPE, SIG_IGN);
            tapsim::UniqueFd impostor = openWriter(path);
            EXPECT_TRUE(impostor.valid());
            // Whether it lands does not matter; only that the loop never reads it.
            if (::write(impostor.get(), "7 8 9 secret first line\n", 24) < 0) {
                SUCCEED();
            }
            std::signal(SIGPIPE, previous);
        }

        EXPECT_EQ(loop.finish(path), 0);
        EXPECT_EQ(loop.writer.events().size(), 5u);
        EXPECT_EQ(loop.out.str().find("secret"), std::string::npos);
        EXPECT_EQ(loop.err.str(),
                  swap == Swap::Symlink
                      ? "open: Too many levels of symbolic links\n"
                      : "open: " + path + " is no longer the FIFO tapsim prepared\n");
        EXPECT_TRUE(gone(path));
        EXPECT_TRUE(existsAs(secret, S_IFREG));
    }
}

TEST(tapsim_FifoLoop, AFifoOfAnotherUserIsReplacedNotReused) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a FIFO to another user";
    }
    TempDir folder;
    const std::string path = folder.file("tapsim.fifo");
    ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0);
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    Loop loop(path);
    struct stat during {};
    for (int attempt = 0; attempt < 5000; ++attempt) {
        if (::lstat(path.c_str(), &during) == 0 && during.st_uid == 0) {
            break;
        }
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_TRUE(S_ISFIFO(during.st_mode));
    EXPECT_EQ(during.st_uid, 0u);
    // A new FIFO may get the old inode number back; its owner and mode tell it apart.
    const mode_t mask = ::umask(022);
    ::umask(mask);
    EXPECT_EQ(during.st_mode & 07777, 0646 & ~mask);
    writeBatch(path, "quit\n");
    EXPECT_EQ(loop.finish(path), 0);
}

TEST(tapsim_FifoLoop, Status255WhenTheFifoIsGoneAtTheEnd) {
    TempDir folder;
    const std::string path = folder.file("tapsim.fifo");
    Loop loop(path);
    tapsim::UniqueFd writer = openWriter(path);
    ASSERT_TRUE(writer.valid());
    ASSERT_EQ(::unlink(path.c_str()), 0);
    ASSERT_EQ(::write(writer.get(), "quit\n", 5), 5);
    writer.close();
    EXPECT_EQ(loop.finish(path), 255);
    EXPECT_EQ(loop.err.str(), "");
}

TEST(tapsim_FifoPreparation, FailuresAreReportedAndReturnedNegated) {
    TempDir folder;
    folder.write("file", "x");
    std::filesystem::create_directories(folder.file("full/inside"));
    struct Case {
        std::string path;
        int status;
        std::string err;
    };
    for (const Case& c : {
             Case{folder.file("file/tapsim.fifo"), -ENOTDIR, "lstat: Not a directory\n"},
             Case{folder.file("full"), -ENOTEMPTY, "remove: Directory not empty\n"},
             Case{folder.file("missing/tapsim.fifo"), -ENOENT,
                  "mkfifo: No such file or directory\n"},
         }) {
        SCOPED_TRACE(c.path);
        std::ostringstream out;
        std::ostringstream err;
        tapsim::Console console{out, err};
        RecordingEventWriter writer;
        EXPECT_EQ(tapsim::run_fifo(c.path, writer, console), c.status);
        EXPECT_EQ(err.str(), c.err);
        EXPECT_EQ(out.str(), "");
    }
    EXPECT_TRUE(existsAs(folder.file("full/inside"), S_IFDIR));
}

}  // namespace
