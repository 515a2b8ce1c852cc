#include "krvctl/program/LocalSystem.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
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

bool isTerminal(int descriptor) {
    return ::isatty(descriptor) == 1;
}

std::optional<std::string> readStandardInputLine() {
    std::string line;
    if (!std::getline(std::cin, line)) {
        return std::nullopt;
    }
    return line;
}

}  // namespace krvctl
