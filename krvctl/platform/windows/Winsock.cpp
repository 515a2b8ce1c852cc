#include "krvctl/platform/windows/Winsock.h"

#include <windows.h>

#include <memory>
#include <mutex>

namespace krvctl::windows {

namespace {

// The socket errors this program meets, for a system without their texts (Wine has none).
const char* socketErrorWords(unsigned long error) {
    switch (error) {
        case WSAEACCES:
            return "An attempt was made to access a socket in a way forbidden by its access "
                   "permissions";
        case WSAEADDRINUSE:
            return "Only one usage of each socket address is normally permitted";
        case WSAEADDRNOTAVAIL:
            return "The requested address is not valid in its context";
        case WSAEMSGSIZE:
            return "A message sent on a datagram socket was larger than the internal message "
                   "buffer";
        case WSAENETDOWN:
            return "A socket operation encountered a dead network";
        case WSAENETUNREACH:
            return "A socket operation was attempted to an unreachable network";
        case WSAEHOSTUNREACH:
            return "A socket operation was attempted to an unreachable host";
        case WSAENOBUFS:
            return "No buffer space was available for the socket";
        case WSAECONNRESET:
            return "An existing connection was forcibly closed by the remote host";
        case WSAEAFNOSUPPORT:
            return "An address incompatible with the requested protocol was used";
        case WSANOTINITIALISED:
            return "Windows sockets were not started";
        default:
            return nullptr;
    }
}

}  // namespace

std::string errorText(unsigned long error) {
    char* text = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text),
        0, nullptr);
    const std::unique_ptr<char, decltype(&::LocalFree)> owner(text, ::LocalFree);
    std::string words = length > 0 ? std::string(text, length) : std::string();
    // The system's sentences end in a full stop and a line break; the program adds its own.
    while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == ' ' ||
                              words.back() == '.')) {
        words.pop_back();
    }
    if (words.empty() && socketErrorWords(error) != nullptr) {
        words = socketErrorWords(error);
    }
    const std::string number = "error " + std::to_string(error);
    return words.empty() ? number : words + " (" + number + ")";
}

bool startWinsock(std::string& problem) {
    static std::once_flag once;
    static int failure = 0;
    std::call_once(once, [] {
        WSADATA data{};
        failure = ::WSAStartup(MAKEWORD(2, 2), &data);
    });
    if (failure != 0) {
        problem = "cannot start Windows sockets: " + errorText(static_cast<unsigned long>(failure));
        return false;
    }
    return true;
}

std::string narrowed(const wchar_t* text) {
    if (text == nullptr || *text == L'\0') {
        return {};
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) {
        return {};
    }
    std::string result(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
    result.pop_back();  // the terminating NUL
    return result;
}

}  // namespace krvctl::windows
