// Test tool for the emulator run: watches the input device with the given name and prints each
// of its events as "type code value", so that a shell test can compare them with the expected
// ones. The node is found through the device name in sysfs, never by number. Prints
// "ready <node>" once the node is open; ends with 0 when the device goes away, 1 after a quiet
// minute or any other failure.

#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "tapsim/UniqueFd.h"

namespace {

std::string findNode(const std::string& name) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/class/input", error)) {
        const std::string node = entry.path().filename().string();
        if (!node.starts_with("event")) {
            continue;
        }
        std::ifstream file(entry.path() / "device/name");
        std::string line;
        if (std::getline(file, line) && line == name) {
            return "/dev/input/" + node;
        }
    }
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: tapsim-evreader DEVICE-NAME\n";
        return 2;
    }
    std::string node;
    for (int attempt = 0; attempt < 100 && node.empty(); ++attempt) {
        node = findNode(argv[1]);
        if (node.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    if (node.empty()) {
        std::cerr << "tapsim-evreader: no input device named " << argv[1] << '\n';
        return 1;
    }
    tapsim::UniqueFd device(::open(node.c_str(), O_RDONLY | O_CLOEXEC));
    if (!device.valid()) {
        std::cerr << "tapsim-evreader: " << node << ": " << std::strerror(errno) << '\n';
        return 1;
    }
    std::cout << "ready " << node << std::endl;
    for (;;) {
        pollfd wait{device.get(), POLLIN, 0};
        if (::poll(&wait, 1, 60000) == 0) {
            std::cerr << "tapsim-evreader: no event for a minute\n";
            return 1;
        }
        input_event event{};
        const ssize_t count = ::read(device.get(), &event, sizeof event);
        if (count < 0 && errno == ENODEV) {
            return 0;
        }
        if (count != static_cast<ssize_t>(sizeof event)) {
            std::cerr << "tapsim-evreader: read: " << std::strerror(errno) << '\n';
            return 1;
        }
        std::cout << event.type << ' ' << event.code << ' ' << event.value << std::endl;
    }
}
