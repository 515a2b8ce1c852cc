#pragma once

#include <span>
#include <string_view>

namespace krvctl {

// One file of the web console's page, built into the program from krvctl/web/.
struct PageFile {
    std::string_view path;  // as requested: "/" for the page itself
    std::string_view contentType;
    std::string_view body;
};

// Generated at build time.
std::span<const PageFile> consolePageFiles();

// Nothing for a path that is not part of the page.
const PageFile* findPageFile(std::string_view path);

}  // namespace krvctl
