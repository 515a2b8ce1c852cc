// krvtool: the configuration tool's side of the setup protocol, small enough for a demo and
// for poking at a controller by hand. It broadcasts one request on UDP port 7217 and prints
// the matching reply field by field.
//
//   krvtool query  [--seqid ID] [--mac MAC] [--timeout SECONDS]
//   krvtool assign  --mac MAC [--seqid ID] [--timeout SECONDS] KEY=VALUE...
//   krvtool clear   --mac MAC [--seqid ID] [--timeout SECONDS] ntpip|syslogip|nameserver
//
// Exit status: 0 when a reply arrived (and, for assign and clear, accepted), 1 when a reply
// refused the request, 2 on a usage error, 3 when no reply arrived in time.

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr std::uint16_t kPort = 7217;

// What each reply field means, for the decoded listing.
const std::map<std::string, std::string> kFieldNames = {
    {"seqid", "request id"},          {"mac", "MAC address"},
    {"ip", "IPv4 address"},           {"netmask", "netmask"},
    {"gateway", "default gateway"},   {"hostname", "host name"},
    {"ipscheme", "addressing"},       {"ntpip", "time server"},
    {"controller", "controller"},     {"housenames", "house names"},
    {"syslogip", "syslog server"},    {"nameserver", "name server"},
    {"ntpsync", "time synchronised"}, {"sdusage", "SD card usage"},
    {"sdkversion", "SDK version"},    {"mac1", "fused MAC 1"},
    {"mac2", "fused MAC 2"},          {"uptime", "uptime (s, idle s)"},
    {"loadavg", "load average"},      {"utcclock", "clock (UTC)"},
    {"displaytime", "display time"},  {"accept", "accepted"},
};

struct Options {
    std::string command;
    std::string seqid;
    std::string mac;
    int timeoutSeconds = 10;
    std::vector<std::string> items;
};

int usage() {
    std::cerr << "usage: krvtool query  [--seqid ID] [--mac MAC] [--timeout SECONDS]\n"
                 "       krvtool assign --mac MAC [--seqid ID] [--timeout SECONDS] KEY=VALUE...\n"
                 "       krvtool clear  --mac MAC [--seqid ID] [--timeout SECONDS] SETTING\n";
    return 2;
}

bool parseOptions(int argc, char** argv, Options& options) {
    if (argc < 2) {
        return false;
    }
    options.command = argv[1];
    options.seqid = std::to_string(getpid());
    for (int i = 2; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "--seqid" && hasValue) {
            options.seqid = argv[++i];
        } else if (argument == "--mac" && hasValue) {
            options.mac = argv[++i];
        } else if (argument == "--timeout" && hasValue) {
            options.timeoutSeconds = std::atoi(argv[++i]);
        } else if (argument.starts_with("--")) {
            return false;
        } else {
            options.items.push_back(argument);
        }
    }
    if (options.command == "query") {
        return options.items.empty();
    }
    if (options.command == "assign") {
        return !options.mac.empty();
    }
    if (options.command == "clear") {
        return !options.mac.empty() && options.items.size() == 1;
    }
    return false;
}

std::string buildRequest(const Options& options) {
    std::string request = "KRV2#";
    if (options.command == "query") {
        request += "QUERY#seqid=" + options.seqid;
        if (!options.mac.empty()) {
            request += "#mac=" + options.mac;
        }
        return request;
    }
    request += (options.command == "assign" ? "ASSIGN" : "CLEAR");
    request += "#seqid=" + options.seqid + "#mac=" + options.mac;
    for (const auto& item : options.items) {
        request += "#" + item;
    }
    return request;
}

void printDecoded(const std::string& reply, const std::string& from) {
    std::cout << "reply from " << from << ": " << reply << "\n";
    std::size_t position = reply.find('#', reply.find('#') + 1);  // past "KRV2#WORD"
    while (position != std::string::npos) {
        const std::size_t next = reply.find('#', position + 1);
        const std::string item = reply.substr(position + 1, next - position - 1);
        const std::size_t equals = item.find('=');
        const std::string key = item.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
        const auto name = kFieldNames.find(key);
        std::cout << "  " << std::left << std::setw(12) << key << std::setw(20)
                  << (name == kFieldNames.end() ? "" : name->second) << value << "\n";
        position = next;
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        return usage();
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::perror("socket");
        return 3;
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kPort);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::perror("bind");
        close(fd);
        return 3;
    }

    const std::string request = buildRequest(options);
    address.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    std::cout << "broadcast: " << request << "\n";
    if (sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&address),
               sizeof address) < 0) {
        std::perror("sendto");
        close(fd);
        return 3;
    }

    // Replies are broadcasts too: our own request comes back, and other tools' traffic may.
    const std::string expected = std::string("KRV2#") +
                                 (options.command == "query" ? "STATUS" : "ACK") +
                                 "#seqid=" + options.seqid + "#";
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd entry{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) != 1) {
            break;
        }
        char buffer[2048];
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        const ssize_t count =
            recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&sender), &length);
        if (count <= 0) {
            continue;
        }
        const std::string reply(buffer, static_cast<std::size_t>(count));
        if (!reply.starts_with(expected)) {
            continue;
        }
        printDecoded(reply, inet_ntoa(sender.sin_addr));
        close(fd);
        return reply.ends_with("#accept=no") ? 1 : 0;
    }
    std::cout << "no reply within " << options.timeoutSeconds << " s\n";
    close(fd);
    return 3;
}
