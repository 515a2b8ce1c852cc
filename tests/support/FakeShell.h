#pragma once

#include <map>
#include <string>
#include <vector>

#include "krvd/system/CommandRunner.h"
#include "krvd/system/ShellRunner.h"
#include "tests/support/EventLog.h"

namespace krvtest {

// Scripted shell: answers each command line from a table and records every line it is given.
// Like the real runner it returns only the first output line, or its first word; unscripted
// lines print nothing and succeed.
class FakeShell : public krvd::ShellRunner {
  public:
    explicit FakeShell(EventLog* log = nullptr) : log_(log) {}

    void answer(const std::string& line, const std::string& output) { outputs_[line] = output; }
    void exitStatus(const std::string& line, int status) { statuses_[line] = status; }

    std::string runCommand(const std::string& commandLine, bool firstWordOnly) override {
        record(commandLine, false);
        const auto found = outputs_.find(commandLine);
        const std::string output = found == outputs_.end() ? std::string() : found->second;
        const auto newline = output.find('\n');
        const std::string firstLine =
            newline == std::string::npos ? output : output.substr(0, newline + 1);
        return firstWordOnly ? krvd::firstWord(firstLine) : firstLine;
    }

    int runForStatus(const std::string& commandLine) override {
        record(commandLine, true);
        const auto found = statuses_.find(commandLine);
        return found == statuses_.end() ? 0 : found->second;
    }

    // Every line in order, whichever way it was run.
    const std::vector<std::string>& lines() const { return lines_; }
    // Only the lines run for their exit status (the change commands).
    const std::vector<std::string>& statusLines() const { return statusLines_; }
    std::size_t count(const std::string& line) const {
        std::size_t n = 0;
        for (const auto& recorded : lines_) {
            n += recorded == line ? 1 : 0;
        }
        return n;
    }
    bool ran(const std::string& line) const { return count(line) > 0; }
    void forgetCalls() {
        lines_.clear();
        statusLines_.clear();
    }

  private:
    void record(const std::string& line, bool forStatus) {
        lines_.push_back(line);
        if (forStatus) {
            statusLines_.push_back(line);
        }
        if (log_ != nullptr) {
            log_->add((forStatus ? "status: " : "shell: ") + line);
        }
    }

    EventLog* log_;
    std::map<std::string, std::string> outputs_;
    std::map<std::string, int> statuses_;
    std::vector<std::string> lines_;
    std::vector<std::string> statusLines_;
};

}  // namespace krvtest
