#pragma once

#include <map>
#include <string>
#include <vector>

#include "krvd/system/ShellRunner.h"
#include "tests/support/EventLog.h"

namespace krvtest {

// Scripted shell: answers each command line from a table and records every line it is given.
// runCommand returns the scripted text as is (the fake does not cut it to a word or a line);
// unscripted lines get the empty text or status 0.
class FakeShell : public krvd::ShellRunner {
  public:
    enum class Kind { FirstWord, FirstLine, Status };
    struct Call {
        std::string line;
        Kind kind;
    };

    explicit FakeShell(EventLog* log = nullptr) : log_(log) {}

    void answer(const std::string& line, const std::string& output) { outputs_[line] = output; }
    void exitStatus(const std::string& line, int status) { statuses_[line] = status; }

    std::string runCommand(const std::string& commandLine, bool firstWordOnly) override {
        record(commandLine, firstWordOnly ? Kind::FirstWord : Kind::FirstLine);
        const auto found = outputs_.find(commandLine);
        return found == outputs_.end() ? std::string() : found->second;
    }

    int runForStatus(const std::string& commandLine) override {
        record(commandLine, Kind::Status);
        const auto found = statuses_.find(commandLine);
        return found == statuses_.end() ? 0 : found->second;
    }

    const std::vector<Call>& calls() const { return calls_; }
    void forgetCalls() { calls_.clear(); }

    // Every line in order, whichever way it was run.
    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        for (const Call& call : calls_) {
            result.push_back(call.line);
        }
        return result;
    }

    // Only the lines run for their exit status (the change commands).
    std::vector<std::string> statusLines() const {
        std::vector<std::string> result;
        for (const Call& call : calls_) {
            if (call.kind == Kind::Status) {
                result.push_back(call.line);
            }
        }
        return result;
    }

    std::size_t count(const std::string& line) const {
        std::size_t n = 0;
        for (const Call& call : calls_) {
            n += call.line == line ? 1 : 0;
        }
        return n;
    }

  private:
    void record(const std::string& line, Kind kind) {
        calls_.push_back({line, kind});
        if (log_ != nullptr) {
            log_->add((kind == Kind::Status ? "status: " : "shell: ") + line);
        }
    }

    EventLog* log_;
    std::map<std::string, std::string> outputs_;
    std::map<std::string, int> statuses_;
    std::vector<Call> calls_;
};

}  // namespace krvtest
