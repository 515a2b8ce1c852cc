#pragma once

#include <ostream>
#include <string_view>

namespace tapsim {

// Where tapsim reports: what it receives goes to out, its errors to err.
struct Console {
    std::ostream& out;
    std::ostream& err;
};

// Writes "prefix: <system text for errnum>" and a newline to err, as perror would. Pending
// normal output is flushed first so that a shared terminal or log shows both in order.
void reportError(Console& console, std::string_view prefix, int errnum);

}  // namespace tapsim
