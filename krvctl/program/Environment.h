#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "krvctl/lan/Client.h"
#include "krvctl/lan/Endpoint.h"
#include "krvctl/platform/SystemFacts.h"
#include "krvctl/values/ListenAddress.h"
#include "krvctl/values/Result.h"

namespace krvctl {

// The name the command line's messages begin with.
inline constexpr const char* kProgram = "krvctl";

struct Environment;

struct WebOptions {
    ListenAddress listen;
    std::vector<std::string> interfaces;  // as given with --interface; empty: every one
    Timing timing;
};

// Everything the program touches, so that tests can run it whole against fakes. The front ends
// never include each other: the command line reaches the web console only through serveWeb.
struct Environment {
    // Opened only once every argument and value has been checked.
    // interfaces empty: every network of this machine; see openLanEndpoint.
    std::function<OpenedEndpoint(const std::vector<std::string>& interfaces)> openEndpoint;
    Clock& clock;
    std::function<std::uint64_t()> random;
    std::ostream& out;
    std::ostream& err;
    // Called before monitor starts waiting, the web console starts serving or apply starts
    // sending, so Ctrl-C can end them cleanly.
    std::function<void()> catchInterrupts = [] {};
    // The web console serves until this returns: in the program, until Ctrl-C or SIGTERM.
    std::function<void()> awaitStop = [] {};
    // krvctl web; its exit status.
    std::function<int(Endpoint& lan, const WebOptions& options, Environment& environment)> serveWeb;
    // plan and apply: the plan file, the report, and a person at the terminal who confirms and
    // watches the progress.
    std::function<Result<std::string>(const std::string& path)> readFile = [](const std::string&) {
        return Result<std::string>::failure("no files here");
    };
    // The problem, or empty once the file holds content.
    std::function<std::string(const std::string& path, const std::string& content)> writeFile =
        [](const std::string&, const std::string&) { return std::string("no files here"); };
    std::function<bool()> inputIsTerminal = [] { return false; };
    std::function<bool()> errorIsTerminal = [] { return false; };
    // The MACs discover found, kept for the shell's completion; failures do not matter.
    std::function<void(const std::vector<std::string>& macs)> rememberMacs =
        [](const std::vector<std::string>&) {};
    // A line typed on standard input, without its line break; nothing at its end.
    std::function<std::optional<std::string>()> readLine = [] { return std::nullopt; };
    // krvctl doctor: this machine's interfaces, route, port holders and firewall.
    std::function<SystemFacts(std::uint16_t port)> gatherFacts = [](std::uint16_t) {
        SystemFacts none;
        none.interfaces.problem = "this build cannot read the network interfaces";
        return none;
    };
};

}  // namespace krvctl
