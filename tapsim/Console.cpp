#include "tapsim/Console.h"

#include <cstring>

namespace tapsim {

void reportError(Console& console, std::string_view prefix, int errnum) {
    console.out.flush();
    console.err << prefix << ": " << std::strerror(errnum) << '\n';
    console.err.flush();
}

}  // namespace tapsim
