#pragma once

// The whole program run in process against the in-memory LAN, with its files and terminal in
// memory too, as the command-line tests of every command use it.

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "krvctl/cli/CommandLine.h"
#include "krvctl/values/ExitStatus.h"
#include "krvctl/web/WebConsole.h"
#include "tests/krvctl/support/FakeController.h"

namespace krvctl::test {

struct ToolOutput {
    int status = -1;
    std::string out;
    std::string err;
};

class Program : public ::testing::Test {
  protected:
    ToolOutput run(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "krvctl");
        std::vector<const char*> argv;
        for (const std::string& argument : arguments) {
            argv.push_back(argument.c_str());
        }
        std::ostringstream out;
        std::ostringstream err;
        Environment environment{[this](const std::vector<std::string>& interfaces) {
                                    ++opened;
                                    openedInterfaces = interfaces;
                                    OpenedEndpoint result;
                                    if (!openFailure.empty()) {
                                        result.failure = kUnavailable;
                                        result.problem = openFailure;
                                        return result;
                                    }
                                    auto endpoint = std::make_unique<FakeEndpoint>(
                                        clock,
                                        [this](const std::string& request, FakeEndpoint& lan) {
                                            sent.push_back(request);
                                            respond(request, lan);
                                        });
                                    endpoint->setInterfaces(lanInterfaces);
                                    for (const auto& [bytes, from] : waiting) {
                                        endpoint->deliver(bytes, from);
                                    }
                                    result.endpoint = std::move(endpoint);
                                    return result;
                                },
                                clock, test::countingRandom(), out, err, [] {}, [] {},
                                // Wired as the program wires it.
                                serveWebConsole};
        environment.catchInterrupts = [this] { interruptsCaught = true; };
        environment.awaitStop = [&] { whileServing(out.str()); };
        environment.readFile = [this](const std::string& path) {
            const auto file = files.find(path);
            return file == files.end() ? Result<std::string>::failure("No such file or directory")
                                       : Result<std::string>::success(file->second);
        };
        environment.writeFile = [this](const std::string& path, const std::string& content) {
            files[path] = content;
            return std::string();
        };
        environment.gatherFacts = [this](std::uint16_t) { return facts; };
        environment.inputIsTerminal = [this] { return terminal; };
        environment.errorIsTerminal = [this] { return terminal; };
        environment.rememberMacs = [this](const std::vector<std::string>& macs) {
            remembered = macs;
        };
        environment.readLine = [this]() -> std::optional<std::string> {
            if (typed.empty()) {
                return std::nullopt;
            }
            std::string line = typed.front();
            typed.erase(typed.begin());
            return line;
        };
        ToolOutput result;
        result.status = runKrvctl(static_cast<int>(argv.size()), argv.data(), environment);
        result.out = out.str();
        result.err = err.str();
        return result;
    }

    FakeClock clock;
    FakeFleet fleet{clock};
    FakeEndpoint::Responder respond = fleet.responder();
    test::FakeController& controller = fleet.add({});
    std::vector<std::string> sent;
    std::vector<std::pair<std::string, std::string>> waiting;  // datagrams already on their way
    std::function<void(const std::string& out)> whileServing = [](const std::string&) {};
    int opened = 0;
    std::vector<std::string> openedInterfaces;
    std::vector<std::string> lanInterfaces;  // what the opened endpoint searches
    std::string openFailure;
    std::map<std::string, std::string> files;  // what readFile finds and writeFile leaves
    bool terminal = false;                     // a person at the keyboard, watching
    std::vector<std::string> typed;            // the lines that person types
    std::vector<std::string> remembered;       // the MACs discover left for the completion
    bool interruptsCaught = false;             // Ctrl-C ends the wait, not the program
    SystemFacts facts;                         // what doctor finds on this machine
};

}  // namespace krvctl::test
