#include "tests/core/e2e/Soak.h"

#include <algorithm>
#include <random>
#include <sstream>
#include <thread>

namespace krvd::e2e {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kOwnMac = "02:00:00:4B:10:01";
constexpr const char* kOtherMac = "02:00:00:00:00:99";
// Keeps the daemon's receive queue well below its limit, so nothing is dropped.
constexpr long kQueueHighWater = 64 * 1024;

std::string randomBytes(std::mt19937& random, std::size_t size, bool printable) {
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = printable ? static_cast<char>(' ' + random() % 95) : static_cast<char>(random());
    }
    return bytes;
}

// Everything but the datagrams that make the daemon run commands, in turn.
std::string cheapDatagram(std::size_t n, std::mt19937& random) {
    const std::string seqid = std::string("s").append(std::to_string(n));
    switch (n % 10) {
        case 0:
            return "KRV2#QUERY#seqid=" + seqid + "#mac=" + kOtherMac;
        case 1:
            return "KRV2#STATUS#seqid=" + seqid + "#mac=" + kOtherMac +
                   "#ip=192.0.2.99#utcclock=20261224183000#displaytime=";
        case 2:
            return "KRV2#ACK#seqid=" + seqid + "#mac=" + kOtherMac + "#accept=yes";
        case 3:
            return randomBytes(random, 1 + random() % 80, true);
        case 4:
            return randomBytes(random, 1 + random() % 300, false);
        case 5:
            return "KRV2#QUERY#seqid=" + seqid + "#" +
                   randomBytes(random, 600 + random() % 800, true);
        case 6:
            return "KRV2#ASSIGN#seqid=" + seqid + "#mac=" + kOtherMac +
                   "#ntpip=1.2.3.4;reboot#utcclock=$(id)#ipscheme=static";
        case 7:
            return "KRV2#QUERY#seqid=a;b";
        case 8:
            return "KRV3#QUERY#seqid=" + seqid;
        default:
            return "";
    }
}

// Makes the daemon read its settings: a query answered with STATUS, or an assignment with a
// bad value answered with "accept=no".
std::string addressedDatagram(std::size_t k, const std::string& seqid) {
    if (k % 4 == 3) {
        return "KRV2#ASSIGN#seqid=" + seqid + "#mac=" + kOwnMac + "#ipscheme=static#ip=1.2.3.4";
    }
    return k % 2 == 0 ? "KRV2#QUERY#seqid=" + seqid
                      : "KRV2#QUERY#seqid=" + seqid + "#mac=" + kOwnMac;
}

bool paceAgainstQueue(pid_t pid, Clock::time_point deadline) {
    while (udpSocketState(pid, 7217).queuedBytes > kQueueHighWater) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return true;
}

}  // namespace

SoakFigures runSoak(Peer& peer, const Daemon& daemon, const SoakPlan& plan) {
    SoakFigures figures;
    const pid_t pid = daemon.pid();
    const auto start = Clock::now();
    const auto deadline = start + plan.timeLimit;
    figures.idle = sampleMemory(pid);
    figures.descriptorsBefore = openDescriptors(pid);

    std::mt19937 random(7217);
    const std::size_t spacing = plan.datagrams / (plan.addressedHere + 1);
    std::vector<std::string> awaited;
    std::vector<std::string> answered;
    // Replies are collected as they come, or the peer's own queue would overflow in a long run.
    const auto collect = [&answered](const std::string& text) {
        answered.push_back(text.substr(18, text.find('#', 18) - 18));
    };
    std::size_t addressed = 0;
    for (std::size_t n = 0; n < plan.datagrams; ++n) {
        std::string datagram;
        if (spacing > 0 && n % spacing == spacing / 2 && addressed < plan.addressedHere) {
            const std::string seqid = "here" + std::to_string(addressed);
            datagram = addressedDatagram(addressed++, seqid);
            if (datagram.starts_with("KRV2#QUERY")) {
                awaited.push_back(seqid);
            }
        } else {
            datagram = cheapDatagram(n, random);
        }
        if (n % 32 == 0 && !paceAgainstQueue(pid, deadline)) {
            break;
        }
        if (n % 256 == 0) {
            for (const auto& reply : peer.receiveQueued("KRV2#STATUS#seqid=")) {
                collect(reply.text);
            }
        }
        peer.sendToController(datagram);
        ++figures.sent;
        figures.sentNonEmpty += datagram.empty() ? 0 : 1;
        if (n == plan.datagrams / 10) {
            figures.warm = sampleMemory(pid);
        }
        if (n % 1000 == 0) {
            figures.highestResidentKiB =
                std::max(figures.highestResidentKiB, sampleMemory(pid).residentKiB);
        }
    }
    // Handled in order: once this is answered, everything sent before it has been handled.
    awaited.push_back("last");
    peer.sendToController("KRV2#QUERY#seqid=last");
    ++figures.sentNonEmpty;
    figures.queriesHere = awaited.size();

    while (Clock::now() < deadline &&
           std::find(answered.begin(), answered.end(), "last") == answered.end()) {
        const auto reply = peer.receive("KRV2#STATUS#seqid=", std::chrono::seconds(5));
        if (!reply) {
            break;
        }
        collect(reply->text);
    }
    for (const auto& seqid : awaited) {
        if (std::find(answered.begin(), answered.end(), seqid) == answered.end()) {
            figures.unanswered.push_back(seqid);
        }
    }
    figures.queriesAnswered = figures.queriesHere - figures.unanswered.size();
    figures.finishedInTime = Clock::now() < deadline && figures.sent == plan.datagrams;
    // The daemon is waiting again, so its output is flushed.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    figures.end = sampleMemory(pid);
    figures.highestResidentKiB = std::max(figures.highestResidentKiB, figures.end.residentKiB);
    figures.descriptorsAfter = openDescriptors(pid);
    figures.drops = udpSocketState(pid, 7217).drops;
    const std::string out = daemon.standardOutput();
    for (auto at = out.find("[192.0.2.20] Message "); at != std::string::npos;
         at = out.find("[192.0.2.20] Message ", at + 1)) {
        ++figures.verdicts;
    }
    figures.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return figures;
}

std::string describe(const SoakFigures& figures) {
    std::ostringstream text;
    text << "datagrams sent " << figures.sent << " (" << figures.sentNonEmpty
         << " non-empty), handled " << figures.verdicts << ", dropped " << figures.drops
         << "; queries for this controller " << figures.queriesHere << ", answered "
         << figures.queriesAnswered << "; " << figures.seconds << " s\n"
         << "resident KiB idle " << figures.idle.residentKiB << ", after a tenth "
         << figures.warm.residentKiB << ", highest " << figures.highestResidentKiB << ", end "
         << figures.end.residentKiB << "; private dirty KiB idle " << figures.idle.privateDirtyKiB
         << ", after a tenth " << figures.warm.privateDirtyKiB << ", end "
         << figures.end.privateDirtyKiB << "\n"
         << "descriptors before " << figures.descriptorsBefore.size() << ", after "
         << figures.descriptorsAfter.size() << "\n";
    return text.str();
}

}  // namespace krvd::e2e
