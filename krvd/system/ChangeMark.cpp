#include "krvd/system/ChangeMark.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "krvd/system/Log.h"

namespace krvd {
namespace {

// The mark's lines are "key=value"; a value never holds a line break or another control
// byte, so a request cannot forge a line of its own, here or in the journal.
std::string printable(const std::string& text) {
    std::string result = text.substr(0, 512);
    for (char& c : result) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            c = '?';
        }
    }
    return result;
}

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    // Bounded: every round writes at least a byte or gives up.
    while (done < text.size()) {
        const ssize_t count = ::write(fd, text.data() + done, text.size() - done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(count);
    }
    return true;
}

}  // namespace

bool ChangeMark::write(const ChangeRecord& record) const {
    std::ostringstream text;
    text << "command=" << printable(record.command) << '\n'
         << "seqid=" << printable(record.seqid) << '\n'
         << "mac=" << printable(record.mac) << '\n'
         << "request=" << printable(record.request) << '\n'
         << "step=" << record.step << '\n'
         << "commandline=" << printable(record.commandLine) << '\n';
    // The runtime folder exists under the service manager; elsewhere the daemon makes it.
    const std::size_t slash = path_.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : path_.substr(0, slash);
    if (!folder.empty() && ::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        return false;
    }
    // Written beside the mark and renamed over it: never half a mark, even after a power cut.
    const std::string fresh = path_ + ".new";
    {
        const Descriptor file(
            ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
        if (file.get() < 0 || !writeAll(file.get(), text.str()) || ::fsync(file.get()) != 0) {
            ::unlink(fresh.c_str());
            return false;
        }
    }
    return ::rename(fresh.c_str(), path_.c_str()) == 0;
}

void ChangeMark::remove() const {
    ::unlink(path_.c_str());
}

std::optional<ChangeRecord> ChangeMark::takeLeftOver() const {
    std::ifstream file(path_, std::ios::binary);
    if (!file.is_open()) {
        return std::nullopt;
    }
    ChangeRecord record;
    std::string line;
    // Bounded: a mark is six lines; anything longer is not one of ours.
    for (int lines = 0; lines < 16 && std::getline(file, line); ++lines) {
        const std::size_t separator = line.find('=');
        if (separator == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(0, separator);
        const std::string value = printable(line.substr(separator + 1));
        if (key == "command") {
            record.command = value;
        } else if (key == "seqid") {
            record.seqid = value;
        } else if (key == "mac") {
            record.mac = value;
        } else if (key == "request") {
            record.request = value;
        } else if (key == "step") {
            record.step = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
        } else if (key == "commandline") {
            record.commandLine = value;
        }
    }
    file.close();
    remove();
    return record;
}

std::string describeCutOff(const ChangeRecord& record) {
    std::string line = "Change cut off by the end of the previous krvd: " +
                       (record.command.empty() ? std::string("a change") : record.command) +
                       " seqid=" + record.seqid + " for MAC " +
                       (record.mac.empty() ? std::string("(none)") : record.mac) + " (" +
                       record.request + ") stopped ";
    if (record.step == 0) {
        line += "after its ACK, before its first command";
    } else {
        line += "at command " + std::to_string(record.step) + ", \"" + record.commandLine + "\"";
    }
    return line + "; its ACK said accept=yes, the settings may be partly written";
}

MarkingShell::MarkingShell(ShellRunner& shell, const std::string& markPath, ChangeRecord record)
    : shell_(shell), mark_(markPath), record_(std::move(record)) {
    if (!mark_.write(record_)) {
        const int error = errno;
        logWarning("Cannot leave the change mark " + markPath + ": " + std::strerror(error));
    }
}

void MarkingShell::advance(const std::string& commandLine) {
    ++record_.step;
    record_.commandLine = commandLine;
    // Tried at every step: the mark is worth having late rather than not at all.
    static_cast<void>(mark_.write(record_));
}

std::string MarkingShell::runCommand(const std::string& commandLine, bool firstWordOnly) {
    advance(commandLine);
    return shell_.runCommand(commandLine, firstWordOnly);
}

int MarkingShell::runForStatus(const std::string& commandLine) {
    advance(commandLine);
    return shell_.runForStatus(commandLine);
}

void MarkingShell::finish() {
    mark_.remove();
}

}  // namespace krvd
