#include "krvctl/web/WebConsole.h"

#include <chrono>
#include <ostream>
#include <thread>

#include "krvctl/values/ExitStatus.h"
#include "krvctl/web/ConsoleApi.h"
#include "krvctl/web/HttpServer.h"
#include "krvctl/web/RequestGuard.h"

namespace krvctl {

namespace {

std::int64_t wallClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

int serveWebConsole(Endpoint& lan, const WebOptions& options, Environment& environment) {
    if (!options.listen.loopback()) {
        environment.err
            << "krvctl: WARNING: the console is to listen on " << options.listen.text()
            << ", which is not a loopback address.\n"
               "krvctl: WARNING: anyone who can reach it can open the page and change every "
               "controller on this LAN;\n"
               "krvctl: WARNING: its token keeps other web sites out, not people on the network, "
               "and nothing is encrypted.\n";
    }
    HttpServer server;
    const auto bound = server.bind(options.listen);
    if (!bound) {
        environment.err << "krvctl: " << bound.problem() << '\n';
        return kUnavailable;
    }
    const ListenAddress& listen = bound.value();
    environment.catchInterrupts();
    ConsoleSettings settings{listen, options.interfaces, freshConsoleToken(), options.timing};
    ConsoleApi console(lan, environment.clock, environment.random, settings, wallClockMs);
    console.showConnections([&server] { return server.counters(); });
    std::jthread serving([&] { server.serve(console); });
    environment.out << "krvctl web: the console is at http://" << listen.text()
                    << "/ (Ctrl-C stops it)" << std::endl;
    environment.awaitStop();
    server.stop();
    return kDone;
}

}  // namespace krvctl
