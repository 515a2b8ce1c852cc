#pragma once

// Test doubles for the daemon's seams to the system: a shell that answers scripted command
// lines and records every line it is given, an interface list, and console capture.

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "krvd/system/CommandRunner.h"
#include "krvd/system/InterfaceLister.h"
#include "krvd/system/Log.h"
#include "krvd/system/ShellRunner.h"

namespace krvd::testing {

class ScriptedShell final : public ShellRunner {
  public:
    struct Answer {
        std::string output;  // everything the command prints on standard output
        int status = 0;
    };

    // Unscripted lines print nothing and succeed.
    void answer(const std::string& commandLine, std::string output, int status = 0) {
        answers_[commandLine] = Answer{std::move(output), status};
    }

    std::string runCommand(const std::string& commandLine, bool firstWordOnly) override {
        commands.push_back(commandLine);
        const std::string output = find(commandLine).output;
        const auto newline = output.find('\n');
        const std::string line =
            newline == std::string::npos ? output : output.substr(0, newline + 1);
        return firstWordOnly ? firstWord(line) : line;
    }

    int runForStatus(const std::string& commandLine) override {
        commands.push_back(commandLine);
        statusCommands.push_back(commandLine);
        return find(commandLine).status;
    }

    bool ran(const std::string& commandLine) const {
        for (const auto& command : commands) {
            if (command == commandLine) {
                return true;
            }
        }
        return false;
    }

    std::vector<std::string> commands;        // every line, in order
    std::vector<std::string> statusCommands;  // the lines judged by exit status

  private:
    Answer find(const std::string& commandLine) const {
        const auto it = answers_.find(commandLine);
        return it == answers_.end() ? Answer{} : it->second;
    }
    std::map<std::string, Answer> answers_;
};

class FixedInterfaces final : public InterfaceLister {
  public:
    void add(const std::string& name, int family, const char* netmask = nullptr) {
        InterfaceAddress entry;
        entry.name = name;
        entry.hasAddress = true;
        entry.family = family;
        if (netmask != nullptr) {
            in_addr mask{};
            inet_pton(AF_INET, netmask, &mask);
            entry.netmask = mask;
        }
        entries.push_back(entry);
    }
    std::optional<std::vector<InterfaceAddress>> listAddresses() override {
        if (failing) {
            return std::nullopt;
        }
        return entries;
    }
    std::vector<InterfaceAddress> entries;
    bool failing = false;
};

// Keeps log entries away from the machine's system logger while it lives.
class QuietSyslog final : public SyslogSink {
  public:
    QuietSyslog() { setSyslogSinkForTesting(this); }
    ~QuietSyslog() override { setSyslogSinkForTesting(nullptr); }
    QuietSyslog(const QuietSyslog&) = delete;
    QuietSyslog& operator=(const QuietSyslog&) = delete;
    void open(const char*, int, int) override {}
    void submit(int, const std::string&) override {}
};

// Swaps std::cout and std::cerr for string streams while it lives.
class ConsoleCapture {
  public:
    ConsoleCapture()
        : oldOut_(std::cout.rdbuf(out_.rdbuf())), oldErr_(std::cerr.rdbuf(err_.rdbuf())) {}
    ~ConsoleCapture() {
        std::cout.rdbuf(oldOut_);
        std::cerr.rdbuf(oldErr_);
    }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;
    std::string out() const { return out_.str(); }
    std::string err() const { return err_.str(); }

  private:
    std::ostringstream out_;
    std::ostringstream err_;
    std::streambuf* oldOut_;
    std::streambuf* oldErr_;
};

// A fresh folder under the system's temporary directory, removed with its content.
class TempDir {
  public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "krvd-test-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    std::string write(const std::string& name, const std::string& content) const {
        std::ofstream(file(name), std::ios::binary) << content;
        return file(name);
    }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

}  // namespace krvd::testing
