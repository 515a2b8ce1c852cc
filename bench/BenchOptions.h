#pragma once

// What the benchmark programs share: their "--name value" options and the median.

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace krvbench {

inline std::string optionText(int argc, char** argv, const std::string& option) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (argv[i] == option) {
            return argv[i + 1];
        }
    }
    return {};
}

inline int optionValue(int argc, char** argv, const std::string& option, int fallback) {
    const std::string given = optionText(argc, argv, option);
    return given.empty() ? fallback : std::atoi(given.c_str());
}

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace krvbench
