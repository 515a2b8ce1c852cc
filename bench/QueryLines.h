#pragma once

// The shell command lines of one QUERY, as the daemon builds them, and a run of them as its
// runner makes it: the floor under any daemon's read of its state.

#include <string>
#include <vector>

namespace krvbench {

// The command lines of one QUERY on an imx controller on br0.
std::vector<std::string> queryCommandLines();

// Each line by /bin/sh -c (popen, as the daemon's runner), its output read to the end, one
// after another. False when a line cannot be started.
bool runCommandLines(const std::vector<std::string>& lines);

}  // namespace krvbench
