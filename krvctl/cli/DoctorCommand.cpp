#include "krvctl/cli/DoctorCommand.h"

#include <algorithm>
#include <cmath>

#include "krvctl/diagnosis/Diagnosis.h"
#include "krvctl/values/ExitStatus.h"
#include "krvctl/values/Printable.h"
#include "krvctl/views/DiagnosisView.h"
#include "protocol/Wire.h"

namespace krvctl {

int runDoctor(Environment& environment, const std::vector<std::string>& given,
              double timeoutSeconds, int retries, bool json) {
    // Before any socket of its own is open, so that the port's holders are others only.
    const SystemFacts facts = environment.gatherFacts(krv::wire::kPort);
    std::vector<std::string> named;
    for (const std::string& name : given) {
        named.push_back(listedNameOf(facts.interfaces.interfaces, name));
        if (named.back().empty()) {
            if (facts.interfaces.problem.empty()) {
                environment.err << "krvctl: --interface: no network interface named '"
                                << printable(name) << "'\n";
                return kUsage;
            }
            named.back() = name;
        }
    }
    const std::vector<std::string> toSearch =
        interfacesToSearch(facts.interfaces.interfaces, named);
    const Timing timing{
        std::chrono::milliseconds(static_cast<std::int64_t>(std::llround(timeoutSeconds * 1000))),
        retries};
    if (!toSearch.empty() && environment.errorIsTerminal()) {
        std::string names;
        for (const std::string& name : toSearch) {
            names += (names.empty() ? "" : ", ") + name;
        }
        environment.err << "krvctl: searching " << names << " for " << timeoutSeconds << " s...\n";
    }
    // An endpoint of its own per interface, so each one's own QUERY is told apart.
    const auto openOne = [&environment](const std::string& name) {
        return environment.openEndpoint({name});
    };
    const std::vector<InterfaceSearch> searches =
        searchInterfaces(toSearch, openOne, environment.clock, environment.random, timing);
    const Diagnosis diagnosis = diagnose(facts, named, searches);
    if (json) {
        environment.out << dumpJson(diagnosisJson(diagnosis), 2) << '\n';
    } else {
        printDiagnosis(environment.out, diagnosis);
    }
    return diagnosis.exitStatus;
}

}  // namespace krvctl
