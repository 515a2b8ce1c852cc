#pragma once

#include <string>
#include <vector>

namespace krvtest {

// One timeline shared by several fakes, so a test can check the order of shell commands,
// replies and pauses across them.
struct EventLog {
    std::vector<std::string> events;

    void add(const std::string& event) { events.push_back(event); }
    // Index of the first event starting with prefix, or events.size() when there is none.
    std::size_t firstWithPrefix(const std::string& prefix) const {
        for (std::size_t i = 0; i < events.size(); ++i) {
            if (events[i].starts_with(prefix)) {
                return i;
            }
        }
        return events.size();
    }
};

}  // namespace krvtest
