// tapsim: a virtual touch screen fed with "x y pressure" lines through /tmp/tapsim.fifo.

#include <iostream>

#include "tapsim/FifoLoop.h"
#include "tapsim/UinputTouchDevice.h"

int main() {
    tapsim::Console console{std::cout, std::cerr};
    int status = 0;
    std::optional<tapsim::UinputTouchDevice> device =
        tapsim::UinputTouchDevice::create(status, console);
    if (!device) {
        return status;
    }
    // The device outlives the FIFO: it is destroyed only after run_fifo has removed it.
    // A failed FIFO preparation returns a negated error number, which the shell sees as
    // 256 minus that number.
    return tapsim::run_fifo(tapsim::kFifoPath, *device, console);
}
