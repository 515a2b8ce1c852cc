#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "krvctl/values/Result.h"

namespace krvctl {

// This machine's files and terminal, as the program hands them to the front ends.

// A plan file is a few kilobytes per hundred controllers; anything far larger is a mistake.
inline constexpr std::size_t kLargestReadFile = 16 * 1024 * 1024;

Result<std::string> readLocalFile(const std::string& path);
// The problem, or empty when the file holds content.
std::string writeLocalFile(const std::string& path, const std::string& content);
bool standardInputIsTerminal();
bool standardErrorIsTerminal();
// Into the user's cache folder (on Linux $XDG_CACHE_HOME/krvctl/discovered-macs or ~/.cache/...,
// where the bash completion looks; on Windows under %LOCALAPPDATA%);
// nothing when there is no such folder to be had.
void rememberDiscoveredMacs(const std::vector<std::string>& macs);
std::optional<std::string> readStandardInputLine();
// A peer that closes a connection early (a browser leaving the console) must not end the program.
void keepRunningWhenPeersHangUp();

}  // namespace krvctl
