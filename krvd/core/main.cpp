#include <cstring>
#include <iostream>

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::cout << "Version: 4.12\n";
        return 0;
    }
    std::cout << "Usage: krvd [--version]\n";
    return 0;
}
