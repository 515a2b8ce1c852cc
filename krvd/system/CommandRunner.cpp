#include "krvd/system/CommandRunner.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "krvd/system/Log.h"

namespace krvd {

namespace {

constexpr const char* kWhiteSpace = " \t\n\v\f\r";

struct PipeCloser {
    void operator()(FILE* pipe) const { pclose(pipe); }
};
using Pipe = std::unique_ptr<FILE, PipeCloser>;

}  // namespace

std::string firstWord(const std::string& text) {
    const auto start = text.find_first_not_of(kWhiteSpace);
    if (start == std::string::npos) {
        return {};
    }
    const auto end = text.find_first_of(kWhiteSpace, start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string runCommand(const std::string& commandLine, bool firstWordOnly) {
    // "e": the read end is close-on-exec, so later commands never inherit it.
    Pipe pipe(popen(commandLine.c_str(), "re"));
    if (!pipe) {
        std::string failure = "ERROR::popen";
        logError(failure + ":" + commandLine);
        return failure;
    }
    char line[512];
    if (std::fgets(line, 511, pipe.get()) == nullptr) {
        return {};
    }
    const std::string result(line, strnlen(line, sizeof line));
    return firstWordOnly ? firstWord(result) : result;
}

}  // namespace krvd
