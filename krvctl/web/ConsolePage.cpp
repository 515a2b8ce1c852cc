#include "krvctl/web/ConsolePage.h"

#include <algorithm>

namespace krvctl {

const PageFile* findPageFile(std::string_view path) {
    const auto files = consolePageFiles();
    const auto file = std::find_if(files.begin(), files.end(),
                                   [path](const PageFile& f) { return f.path == path; });
    return file == files.end() ? nullptr : &*file;
}

}  // namespace krvctl
