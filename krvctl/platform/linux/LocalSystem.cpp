#include "krvctl/platform/LocalSystem.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

namespace krvctl {

Result<std::string> readLocalFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return Result<std::string>::failure(std::strerror(errno));
    }
    std::string content(kLargestReadFile + 1, '\0');
    file.read(content.data(), static_cast<std::streamsize>(content.size()));
    if (file.bad()) {
        return Result<std::string>::failure(std::strerror(errno));
    }
    content.resize(static_cast<std::size_t>(file.gcount()));
    if (content.size() > kLargestReadFile) {
        return Result<std::string>::failure(
            "larger than " + std::to_string(kLargestReadFile / (1024 * 1024)) + " MiB");
    }
    return Result<std::string>::success(std::move(content));
}

std::string writeLocalFile(const std::string& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) {
        return std::strerror(errno);
    }
    file << content;
    file.flush();
    return file ? std::string() : std::strerror(errno);
}

void rememberDiscoveredMacs(const std::vector<std::string>& macs) {
    const char* cache = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    if ((cache == nullptr || *cache == '\0') && (home == nullptr || *home == '\0')) {
        return;
    }
    const std::filesystem::path folder =
        (cache != nullptr && *cache != '\0' ? std::filesystem::path(cache)
                                            : std::filesystem::path(home) / ".cache") /
        "krvctl";
    std::error_code failed;
    std::filesystem::create_directories(folder, failed);
    std::string list;
    for (const std::string& mac : macs) {
        list += mac + '\n';
    }
    // Renamed into place, so a completion never reads half a list.
    const std::string file = (folder / "discovered-macs").string();
    if (!failed && writeLocalFile(file + ".new", list).empty()) {
        std::filesystem::rename(file + ".new", file, failed);
    }
}

bool standardInputIsTerminal() {
    return ::isatty(STDIN_FILENO) == 1;
}

bool standardErrorIsTerminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

std::optional<std::string> readStandardInputLine() {
    std::string line;
    if (!std::getline(std::cin, line)) {
        return std::nullopt;
    }
    return line;
}

void keepRunningWhenPeersHangUp() {
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace krvctl
