#include "krvctl/cli/CommandLine.h"

#include <CLI/CLI.hpp>
#include <cmath>
#include <iostream>
#include <optional>

#include "krvctl/cli/DoctorCommand.h"
#include "krvctl/cli/FleetCommands.h"
#include "krvctl/fleet/PlanExport.h"
#include "krvctl/lan/Client.h"
#include "krvctl/operations/Operations.h"
#include "krvctl/values/ExitStatus.h"
#include "krvctl/values/ListenAddress.h"
#include "krvctl/values/MacAddress.h"
#include "krvctl/values/Printable.h"
#include "krvctl/views/JsonView.h"
#include "krvctl/views/TableView.h"
#include "protocol/Wire.h"

namespace krvctl {

namespace wire = krv::wire;

namespace {

struct Arguments {
    std::vector<std::string> interfaces;
    double timeoutSeconds = 3;
    int retries = 2;
    bool json = false;
    std::string mac;
    std::vector<std::string> assignments;
    std::string setting;
    bool noVerify = false;
    bool force = false;
    std::size_t count = 0;
    std::string listen{kDefaultListen};
    bool csv = false;
    std::string planFile;
    FleetArguments fleet;
};

std::string describeSeconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

// Short spans to the millisecond: a whole LAN often answers within a few.
std::string describeSpan(std::chrono::milliseconds span) {
    return span < std::chrono::seconds(10)
               ? std::to_string(span.count()) + " ms"
               : describeSeconds(static_cast<double>(span.count()) / 1000);
}

std::vector<std::string> clearKeys() {
    return {wire::kClearKeys.begin(), wire::kClearKeys.end()};
}

// One command with its arguments checked, a client at hand and the views chosen.
class Session {
  public:
    Session(Environment& environment, const Arguments& arguments, Client& client)
        : env_(environment), args_(arguments), client_(client) {}

    int discover();
    int query();
    int assign(const Assignment& assignment);
    int clear();
    int monitor(bool timeoutGiven);

  private:
    int fail(int status, const std::string& message) {
        env_.err << kProgram << ": " << message << '\n';
        return status;
    }
    void printJson(const Json& json) { env_.out << dumpJson(json, 2) << '\n'; }
    std::string window() const { return describeSeconds(args_.timeoutSeconds); }

    Environment& env_;
    const Arguments& args_;
    Client& client_;
};

int Session::discover() {
    const Discovery found = client_.discover();
    if (found.delivery == Delivery::NotSent) {
        return fail(kUnavailable, "cannot send the query: " + found.problem);
    }
    std::vector<std::string> macs;
    for (const ControllerRecord& record : found.controllers) {
        if (!record.mac.empty()) {
            macs.push_back(record.mac);
        }
    }
    env_.rememberMacs(macs);
    std::vector<std::string> leftOut;
    if (args_.csv) {
        PlanExport exported = exportPlan(found.controllers);
        env_.out << exported.csv;
        leftOut = std::move(exported.leftOut);
    } else if (args_.json) {
        printJson(discoveryJson(found.controllers));
    } else if (!found.controllers.empty()) {
        printDiscoveryTable(env_.out, found.controllers, found.searched.size() > 1);
    }
    // The list first, then the remarks about it, also when both go to one terminal.
    env_.out.flush();
    for (const std::string& remark : discoveryRemarks(found)) {
        env_.err << kProgram << ": " << remark << '\n';
    }
    for (const std::string& address : leftOut) {
        env_.err << kProgram << ": left out the controller at " << address
                 << ": it reports no MAC, so it cannot be planned\n";
    }
    if (found.controllers.empty()) {
        const int status = fail(kNoAnswer, "no controller answered within " + window() +
                                               searchedRemark(found.searched));
        env_.err << kProgram << ": 'krvctl doctor' says what this machine sees and why\n";
        return status;
    }
    env_.err << answeredSummary(found) << "; the last new one after "
             << describeSpan(found.lastNewReplyAfter) << " of " << window() << '\n';
    return kDone;
}

int Session::query() {
    const QueryAnswer answer = client_.query(args_.mac);
    if (auto failure = deliveryFailure(answer.delivery, answer.problem, "query")) {
        if (failure->first == kNoAnswer) {
            failure->second = "no answer from " + args_.mac + " within " + window();
        }
        return fail(failure->first, failure->second);
    }
    if (args_.json) {
        printJson(controllerJson(*answer.record));
    } else {
        printControllerListing(env_.out, *answer.record);
    }
    return kDone;
}

int Session::assign(const Assignment& assignment) {
    AssignOptions options{!args_.noVerify, args_.force, {}};
    if (!args_.json) {
        options.onAck = [this](const AckAnswer& ack) {
            env_.out << ackLine(args_.mac, "the assignment", ack) << '\n';
            if (ack.accepted && !args_.noVerify) {
                env_.out << "verifying after the controller's " << wire::kPauseAfterAssignSeconds
                         << " s pause..." << std::endl;
            }
        };
    }
    const AssignReport report = assignAndVerify(client_, args_.mac, assignment, options);
    if (args_.json) {
        printJson(assignJson(args_.mac, report));
    } else {
        printAssignChecks(env_.out, report);
    }
    for (const std::string& risk : report.risks) {
        env_.err << kProgram << ": " << risk << '\n';
    }
    if (report.status != kDone) {
        return fail(report.status, report.problem);
    }
    return kDone;
}

int Session::clear() {
    std::function<void(const AckAnswer&)> onAck;
    if (!args_.json) {
        onAck = [this](const AckAnswer& ack) {
            env_.out << ackLine(args_.mac, "clearing " + args_.setting, ack) << std::endl;
        };
    }
    const ClearReport report =
        clearAndVerify(client_, args_.mac, args_.setting, !args_.noVerify, onAck);
    if (args_.json) {
        printJson(clearJson(args_.mac, report));
    } else {
        printClearCheck(env_.out, report);
    }
    if (report.status != kDone) {
        return fail(report.status, report.problem);
    }
    return kDone;
}

int Session::monitor(bool timeoutGiven) {
    env_.catchInterrupts();
    std::optional<std::size_t> count;
    if (args_.count > 0) {
        count = args_.count;
    }
    std::optional<std::chrono::steady_clock::time_point> until;
    if (timeoutGiven) {
        until = client_.clock().now() + std::chrono::milliseconds(static_cast<std::int64_t>(
                                            std::llround(args_.timeoutSeconds * 1000)));
    }
    const bool showInterface = client_.interfaces().size() > 1;
    client_.monitor(
        [this, showInterface](const MonitoredDatagram& datagram) {
            // Flushed per line: the reader is often a pipe or a log file.
            env_.out << (args_.json ? dumpJson(monitorJson(datagram), -1)
                                    : monitorLine(datagram, showInterface))
                     << std::endl;
        },
        count, until);
    return kDone;
}

void describeExitStatuses(CLI::App& app) {
    app.footer(
        "Exit status: 0 done (accepted and, for assign and clear, verified), 1 refused\n"
        "(accept=no), 2 no answer in time, 3 accepted but a value did not take effect,\n"
        "4 (plan) changes pending, 64 usage, a bad value or a problem in the plan (nothing\n"
        "sent), 69 the port or interface cannot be used (doctor: a problem was found).\n"
        "\n"
        "Examples:\n"
        "  krvctl discover\n"
        "  krvctl query 02:00:00:4b:10:01\n"
        "  krvctl assign 02-00-00-4B-10-01 ntpip=192.0.2.123 utcclock=now\n"
        "  krvctl --json clear 0200004b1001 syslogip\n"
        "  krvctl monitor --count 10\n"
        "  krvctl discover --csv > greenhouse.csv\n"
        "  krvctl plan greenhouse.csv\n"
        "  krvctl apply --report applied.csv greenhouse.csv\n"
        "  krvctl web --interface eth1 --interface eth2\n"
        "  krvctl doctor");
}

}  // namespace

int runKrvctl(int argc, const char* const* argv, Environment& environment) {
    Arguments args;
    CLI::App app(
        "Finds the controllers on this LAN and sets them up over the setup protocol "
        "(UDP port " +
            std::to_string(wire::kPort) + ").",
        kProgram);
    app.set_version_flag("--version", std::string(kProgram) + " " + KRV_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    // Collected rather than refused by the parser, so the message can name them.
    app.allow_extras();
    describeExitStatuses(app);
    app.add_option("--interface", args.interfaces,
                   "Search this interface only; give it again for more (default: every "
                   "interface that is up and can broadcast, loopback and tunnels left out)")
        ->allow_extra_args(false);
    auto* timeout = app.add_option("--timeout", args.timeoutSeconds,
                                   "Seconds to listen for answers to each request")
                        ->capture_default_str()
                        ->check(CLI::Range(0.1, 3600.0));
    app.add_option("--retries", args.retries, "Re-sends of a request that nothing answers")
        ->capture_default_str()
        ->check(CLI::Range(0, 20));
    app.add_flag("--json", args.json, "Print JSON for scripts instead of tables");

    auto* discover = app.add_subcommand("discover", "Every controller that answers a QUERY");
    discover->add_flag("--csv", args.csv,
                       "Print the LAN as a plan file: mac, the settings, hostname as a label");
    auto* query = app.add_subcommand("query", "One controller's STATUS");
    query->add_option("MAC", args.mac, "The controller's MAC address")->required();
    auto* assign = app.add_subcommand(
        "assign", "Change settings of one controller, then check that they took effect");
    assign->add_flag("--no-verify", args.noVerify, "Do not query the controller afterwards");
    assign->add_flag("--force", args.force,
                     "Send even values that look like they cut the controller off");
    assign->add_option("MAC", args.mac, "The controller's MAC address")->required();
    assign
        ->add_option("KEY=VALUE", args.assignments,
                     "ip, netmask, gateway, ipscheme (STATIC|DHCP), ntpip, syslogip, nameserver, "
                     "utcclock (YYYYMMDDhhmmss UTC, or now)")
        ->required();
    auto* clear = app.add_subcommand("clear", "Remove a server setting of one controller");
    clear->add_flag("--no-verify", args.noVerify, "Do not query the controller afterwards");
    clear->add_option("MAC", args.mac, "The controller's MAC address")->required();
    clear->add_option("SETTING", args.setting, "ntpip, syslogip or nameserver")
        ->required()
        ->check(CLI::IsMember(clearKeys()));
    auto* monitor = app.add_subcommand(
        "monitor", "Print every setup datagram seen on the LAN until interrupted");
    monitor->add_option("--count", args.count, "Stop after this many datagrams")
        ->check(CLI::PositiveNumber);
    auto* web = app.add_subcommand(
        "web", "Serve a console for the browser: a live table of the controllers, assign, clear");
    web->add_option("--listen", args.listen,
                    "ADDRESS:PORT of the console; anything but loopback lets the network in")
        ->capture_default_str();

    auto* plan = app.add_subcommand(
        "plan", "What apply would change to make the LAN match the plan file; sends only queries");
    plan->add_option("FILE", args.planFile,
                     "CSV with a header row (mac, settings, labels), or a .json array")
        ->required();
    auto* apply = app.add_subcommand(
        "apply", "Make the LAN match the plan file: many controllers at once, each verified");
    apply->add_flag("--yes", args.fleet.yes, "Do not ask first (needed without a terminal)");
    apply->add_flag("--force", args.fleet.force,
                    "Send even changes the guard finds would likely cut a controller off");
    apply->add_option("--parallel", args.fleet.parallel, "Controllers at once")
        ->capture_default_str()
        ->check(CLI::Range(1, 1000));
    apply->add_option("--report", args.fleet.report, "Also write the report to this CSV file");
    apply
        ->add_option("FILE", args.planFile,
                     "CSV with a header row (mac, settings, labels), or a .json array")
        ->required();

    auto* doctor = app.add_subcommand(
        "doctor",
        "What this machine sees of the LAN and why controllers may not answer: each interface, "
        "the broadcast route, the port's holders, the firewall; every finding with what to do");

    const auto usage = [&](const std::string& message) {
        environment.err << kProgram << ": " << printable(message) << "\nRun '" << kProgram
                        << " --help' for the commands and options.\n";
        return kUsage;
    };
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0) {
            return app.exit(error, environment.out, environment.err);
        }
        if (!app.remaining().empty()) {
            return usage("unknown command or option '" + app.remaining().front() + "'");
        }
        return usage(error.what());
    }
    if (!app.remaining().empty()) {
        return usage("unexpected argument '" + app.remaining().front() + "'");
    }
    if (!args.mac.empty()) {
        const auto mac = normalizeMac(args.mac);
        if (!mac) {
            return usage("MAC '" + args.mac + "': " + mac.problem());
        }
        args.mac = mac.value();
    }
    std::optional<ListenAddress> listen;
    if (web->parsed()) {
        auto parsed = parseListenAddress(args.listen);
        if (!parsed) {
            return usage("--listen " + parsed.problem());
        }
        listen = parsed.value();
    }
    std::optional<Assignment> assignment;
    if (assign->parsed()) {
        auto parsed = parseAssignmentArguments(args.assignments);
        if (!parsed) {
            return usage(parsed.problem());
        }
        assignment = std::move(parsed.value());
    }

    if (args.csv && args.json) {
        return usage("--csv and --json: give one of them");
    }
    args.fleet.json = args.json;
    std::optional<PlanFile> planFile;
    if (plan->parsed() || apply->parsed()) {
        planFile = loadPlanFile(environment, args.planFile);
        args.fleet.applying = apply->parsed();
        if (!planFile->complete) {
            return refuseUnreadablePlan(environment, *planFile, args.fleet);
        }
    }

    if (doctor->parsed()) {
        return runDoctor(environment, args.interfaces, args.timeoutSeconds, args.retries,
                         args.json);
    }
    OpenedEndpoint opened = environment.openEndpoint(args.interfaces);
    if (!opened.endpoint) {
        environment.err << kProgram << ": " << printable(opened.problem) << '\n';
        return opened.failure;
    }
    const Timing timing{std::chrono::milliseconds(
                            static_cast<std::int64_t>(std::llround(args.timeoutSeconds * 1000))),
                        args.retries};
    if (listen) {
        return environment.serveWeb(*opened.endpoint, {*listen, args.interfaces, timing},
                                    environment);
    }
    Client client(*opened.endpoint, environment.clock, environment.random, timing);
    if (plan->parsed()) {
        return runPlan(environment, client, *planFile, args.fleet);
    }
    if (apply->parsed()) {
        return runApply(environment, client, *planFile, args.fleet);
    }
    Session session(environment, args, client);
    if (discover->parsed()) {
        return session.discover();
    }
    if (query->parsed()) {
        return session.query();
    }
    if (assign->parsed()) {
        return session.assign(*assignment);
    }
    if (clear->parsed()) {
        return session.clear();
    }
    return session.monitor(timeout->count() > 0);
}

}  // namespace krvctl
