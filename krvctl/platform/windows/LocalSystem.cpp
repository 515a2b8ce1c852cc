#include "krvctl/platform/LocalSystem.h"

#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

namespace krvctl {

namespace {

// The console draws the live progress line's escape sequences only in VT mode; a console that
// cannot have it (before Windows 10) gets the line-per-controller output of a pipe instead.
bool consoleWithVtMode(DWORD handleName) {
    const HANDLE handle = ::GetStdHandle(handleName);
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr || !::GetConsoleMode(handle, &mode)) {
        return false;
    }
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) {
        return true;
    }
    return ::SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

// Paths arrive as UTF-8, the program's text; Windows' own are UTF-16.
std::filesystem::path pathOf(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string writeFile(const std::filesystem::path& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) {
        return std::strerror(errno);
    }
    file << content;
    file.flush();
    return file ? std::string() : std::strerror(errno);
}

}  // namespace

Result<std::string> readLocalFile(const std::string& path) {
    std::ifstream file(pathOf(path), std::ios::binary);
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
    return writeFile(pathOf(path), content);
}

void rememberDiscoveredMacs(const std::vector<std::string>& macs) {
    const wchar_t* local = ::_wgetenv(L"LOCALAPPDATA");
    if (local == nullptr || *local == L'\0') {
        return;
    }
    const std::filesystem::path folder = std::filesystem::path(local) / "krvctl";
    std::error_code failed;
    std::filesystem::create_directories(folder, failed);
    std::string list;
    for (const std::string& mac : macs) {
        list += mac + '\n';
    }
    const std::filesystem::path file = folder / "discovered-macs";
    std::filesystem::path fresh = file;
    fresh += ".new";
    // Renamed into place (replacing the old list), so a reader never sees half a list.
    if (!failed && writeFile(fresh, list).empty()) {
        std::filesystem::rename(fresh, file, failed);
    }
}

bool standardInputIsTerminal() {
    return ::_isatty(_fileno(stdin)) != 0;
}

bool standardErrorIsTerminal() {
    return consoleWithVtMode(STD_ERROR_HANDLE);
}

std::optional<std::string> readStandardInputLine() {
    std::string line;
    if (!std::getline(std::cin, line)) {
        return std::nullopt;
    }
    // Typed at a console, a line ends in CR LF.
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

// Windows raises no signal for a closed connection: the write fails and the server sees it.
void keepRunningWhenPeersHangUp() {}

}  // namespace krvctl
