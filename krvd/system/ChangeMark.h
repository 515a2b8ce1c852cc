#pragma once

#include <optional>
#include <string>

#include "krvd/system/ShellRunner.h"

namespace krvd {

// What the mark on disk says about a change being written: which datagram asked for it and
// the command it had reached. Each value is one line of printable text.
struct ChangeRecord {
    std::string command;  // ASSIGN or CLEAR
    std::string seqid;
    std::string mac;
    std::string request;      // the settings asked for
    unsigned step = 0;        // commands started so far; 0: acknowledged, nothing run yet
    std::string commandLine;  // the command of that step
};

// The mark left at a path while a change is written, so that a daemon ended in the middle
// (the watchdog, a crash, a kill) can tell at its next start that the controller's settings
// may be partly written. It lives where a restart of the daemon does not remove it.
class ChangeMark {
  public:
    explicit ChangeMark(std::string path) : path_(std::move(path)) {}

    // Replaces the mark with record, as a whole: a reader finds the old mark or the new one.
    // False when it could not be left (the daemon still goes on with the change).
    bool write(const ChangeRecord& record) const;
    // The change ran to its end.
    void remove() const;
    // The mark a previous daemon left, which is removed once read; nothing when there is none.
    std::optional<ChangeRecord> takeLeftOver() const;

  private:
    std::string path_;
};

// The one journal line about a change that was cut off.
std::string describeCutOff(const ChangeRecord& record);

// A shell that moves the mark on to each command before running it, and removes the mark when
// the change is finished. Created once the change is acknowledged.
class MarkingShell final : public ShellRunner {
  public:
    MarkingShell(ShellRunner& shell, const std::string& markPath, ChangeRecord record);
    std::string runCommand(const std::string& commandLine, bool firstWordOnly) override;
    int runForStatus(const std::string& commandLine) override;
    // Only on the way out of a complete change: a change ended by an exception keeps its mark.
    void finish();

  private:
    void advance(const std::string& commandLine);

    ShellRunner& shell_;
    ChangeMark mark_;
    ChangeRecord record_;
};

}  // namespace krvd
