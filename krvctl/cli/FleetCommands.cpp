#include "krvctl/cli/FleetCommands.h"

#include <chrono>
#include <iostream>
#include <map>

#include "krvctl/fleet/Apply.h"
#include "krvctl/fleet/Plan.h"
#include "krvctl/values/ExitStatus.h"
#include "krvctl/values/Printable.h"
#include "krvctl/views/ApplyView.h"
#include "krvctl/views/PlanView.h"
#include "krvctl/views/TableView.h"

namespace krvctl {

namespace {

void printPlanAs(Environment& environment, const Plan& plan, bool json) {
    if (json) {
        environment.out << dumpJson(planJson(plan), 2) << '\n';
    } else {
        printPlan(environment.out, plan);
    }
    environment.out.flush();
}

// The LAN as the plan needs it; nothing when the query cannot be sent (said on stderr). It ends
// shortly after every controller the file expects (not marked absent) has answered.
std::optional<Discovery> discoverFor(Environment& environment, Client& client,
                                     const PlanFile& file) {
    std::vector<std::string> expected;
    for (const PlanRow& row : file.rows) {
        if (!row.expectedAbsent) {
            expected.push_back(row.mac);
        }
    }
    Discovery found = client.discover(expected);
    if (found.delivery == Delivery::NotSent) {
        environment.err << kProgram << ": cannot send the query: " << printable(found.problem)
                        << '\n';
        return std::nullopt;
    }
    for (const std::string& remark : discoveryRemarks(found)) {
        environment.err << kProgram << ": " << remark << '\n';
    }
    return found;
}

bool confirmed(Environment& environment, const Plan& plan) {
    environment.err << "Apply these changes to " << plan.pending()
                    << (plan.pending() == 1 ? " controller" : " controllers") << "? [y/N] "
                    << std::flush;
    const auto answer = environment.readLine();
    return answer && (*answer == "y" || *answer == "Y" || *answer == "yes" || *answer == "YES");
}

double secondsSince(Clock& clock, std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(clock.now() - start).count();
}

void writeReport(Environment& environment, const std::string& path, const ApplyReport& report) {
    const std::string problem = environment.writeFile(path, applyCsv(report));
    if (!problem.empty()) {
        environment.err << kProgram << ": cannot write the report " << printable(path) << ": "
                        << printable(problem) << '\n';
    }
}

// A refused plan is recorded as any apply is, so a script always finds a report: every row not
// sent, and the problems that kept it back.
void recordRefusal(Environment& environment, const Plan& plan, const FleetArguments& arguments) {
    const ApplyReport refused = refusedApply(plan);
    if (arguments.json) {
        environment.out << dumpJson(applyJson(refused), 2) << '\n';
        environment.out.flush();
    }
    if (!arguments.report.empty()) {
        writeReport(environment, arguments.report, refused);
    }
}

}  // namespace

PlanFile loadPlanFile(Environment& environment, const std::string& path) {
    const auto bytes = environment.readFile(path);
    if (!bytes) {
        PlanFile file;
        file.name = path;
        file.problems.push_back({0, "", "cannot read it: " + bytes.problem()});
        file.complete = false;
        return file;
    }
    return readPlanFile(path, bytes.value());
}

int refuseUnreadablePlan(Environment& environment, const PlanFile& file,
                         const FleetArguments& arguments) {
    const Plan plan = makePlan(file, Discovery{});
    if (arguments.applying) {
        printPlan(arguments.json ? environment.err : environment.out, plan);
        recordRefusal(environment, plan, arguments);
    } else {
        printPlanAs(environment, plan, arguments.json);
    }
    environment.err << kProgram << ": nothing sent: " << printable(file.name)
                    << " cannot be read through\n";
    return kUsage;
}

int runPlan(Environment& environment, Client& client, const PlanFile& file,
            const FleetArguments& arguments) {
    const auto lan = discoverFor(environment, client, file);
    if (!lan) {
        return kUnavailable;
    }
    const Plan plan = makePlan(file, *lan);
    printPlanAs(environment, plan, arguments.json);
    return planStatus(plan);
}

int runApply(Environment& environment, Client& client, const PlanFile& file,
             const FleetArguments& arguments) {
    const auto start = client.clock().now();
    const auto lan = discoverFor(environment, client, file);
    if (!lan) {
        return kUnavailable;
    }
    const Plan plan = makePlan(file, *lan);
    // With --json the plan goes where a person reads it, so the report stays one object.
    if (arguments.json) {
        printPlan(environment.err, plan);
    } else {
        printPlanAs(environment, plan, false);
    }
    if (plan.blocks(arguments.force)) {
        const bool onlyRisks = !plan.blocks(true);
        environment.err << kProgram << ": nothing sent: the plan has problems"
                        << (onlyRisks ? " (cut-off risks only: --force sends all the same)" : "")
                        << '\n';
        recordRefusal(environment, plan, arguments);
        return kUsage;
    }
    if (plan.pending() > 0 && !arguments.yes) {
        if (!environment.inputIsTerminal()) {
            environment.err << kProgram
                            << ": nothing sent: without a terminal to confirm on, give --yes\n";
            return kUsage;
        }
        if (!confirmed(environment, plan)) {
            environment.err << kProgram << ": nothing sent\n";
            return kChangesPending;
        }
    }
    if (!arguments.report.empty()) {
        // Found out now, not after the controllers have changed.
        const std::string problem = environment.writeFile(arguments.report, "");
        if (!problem.empty()) {
            environment.err << kProgram << ": nothing sent: cannot write the report "
                            << printable(arguments.report) << ": " << printable(problem) << '\n';
            return kUsage;
        }
    }

    ApplyOptions options;
    options.parallel = arguments.parallel;
    const bool live = environment.errorIsTerminal();
    if (live) {
        options.onProgress = [&](const ApplyProgress& progress) {
            environment.err << '\r' << progressLine(progress) << "\x1b[K" << std::flush;
        };
    } else {
        options.onFinished = [&](const ControllerReport& controller, const ApplyProgress&) {
            environment.err << finishedLine(plan.labelColumns, controller) << std::endl;
        };
    }
    // From here on Ctrl-C ends the waiting, not the program: what was sent is still reported
    // and the report written, each controller caught in the middle marked unverified.
    environment.catchInterrupts();
    const ApplyReport report = applyPlan(client, plan, options);
    if (live && plan.pending() > 0) {
        environment.err << '\n';
    }
    if (client.interrupted()) {
        environment.err << kProgram
                        << ": interrupted: controllers already sent to are reported as not "
                           "checked, the rest as not sent\n";
    }
    if (arguments.json) {
        environment.out << dumpJson(applyJson(report), 2) << '\n';
    } else {
        environment.out << '\n';
        printApplyReport(environment.out, report);
    }
    environment.out.flush();
    std::map<Outcome, std::size_t> counts;
    for (const ControllerReport& controller : report.controllers) {
        ++counts[controller.outcome];
    }
    const std::size_t ok = counts[Outcome::Ok];
    const std::size_t unchanged = counts[Outcome::Unchanged];
    const std::size_t missing = counts[Outcome::Missing];
    // The words of the table's result column, for the outcomes a query after a silence found.
    std::string late;
    std::size_t lateCount = 0;
    for (const Outcome outcome :
         {Outcome::VerifiedLate, Outcome::NotChanged, Outcome::Unknown, Outcome::Absent}) {
        if (counts[outcome] > 0) {
            late +=
                ", " + std::to_string(counts[outcome]) + " " + std::string(outcomeName(outcome));
            lateCount += counts[outcome];
        }
    }
    char took[32];
    std::snprintf(took, sizeof took, "%.1f s", secondsSince(client.clock(), start));
    environment.err << "applied: " << ok << " changed and verified" << late << ", "
                    << report.controllers.size() - ok - unchanged - missing - lateCount
                    << " failed, " << unchanged << " as planned already, " << missing
                    << " not answering; " << took << '\n';
    if (counts[Outcome::Unknown] > 0) {
        environment.err << kProgram
                        << ": unknown: no answer to the change nor to a query after it; "
                           "krvctl plan shows what they hold now\n";
    }
    if (!arguments.report.empty()) {
        writeReport(environment, arguments.report, report);
    }
    return report.status;
}

}  // namespace krvctl
