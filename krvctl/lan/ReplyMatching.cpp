#include "krvctl/lan/ReplyMatching.h"

#include <algorithm>
#include <tuple>

#include "krvctl/values/Ipv4.h"
#include "protocol/Wire.h"

namespace krvctl {

namespace wire = krv::wire;

namespace {

// Records without a MAC are keyed by a text no MAC can be.
std::string identityOf(const ControllerRecord& record) {
    return record.mac.empty() ? "@" + record.from : record.mac;
}

}  // namespace

bool ReplyFilter::accepts(const DecodedDatagram& reply) const {
    if (!reply.isSetupDatagram || reply.command != command || !reply.problem.empty() ||
        reply.version != wire::kVersionByte) {
        return false;
    }
    const std::string* replySeqid = reply.find(wire::key::kSeqid);
    if (replySeqid == nullptr || *replySeqid != seqid) {
        return false;
    }
    if (command == Command::Ack) {
        const std::string* accept = reply.find(wire::key::kAccept);
        if (accept == nullptr || (*accept != wire::kAcceptYes && *accept != wire::kAcceptNo)) {
            return false;
        }
    }
    if (mac.empty()) {
        return true;
    }
    const std::string* replyMac = reply.find(wire::key::kMac);
    return replyMac != nullptr && *replyMac == mac;
}

bool ControllerSet::add(ControllerRecord record) {
    const std::string identity = identityOf(record);
    const auto known = records_.find(identity);
    if (known == records_.end()) {
        records_.emplace(identity, std::move(record));
        return true;
    }
    const Sender sender{record.from, record.interface};
    if (sender != Sender{known->second.from, known->second.interface}) {
        auto& senders = otherSenders_[identity];
        if (std::find(senders.begin(), senders.end(), sender) == senders.end()) {
            senders.push_back(sender);
        }
    }
    return false;
}

std::vector<ControllerRecord> ControllerSet::sorted() const {
    std::vector<ControllerRecord> list;
    list.reserve(records_.size());
    for (const auto& [identity, record] : records_) {
        list.push_back(record);
    }
    const auto sortKey = [](const ControllerRecord& record) {
        const auto ip = parseDottedQuad(record.value(wire::key::kIp));
        // Controllers without a usable address go last.
        return std::make_tuple(!ip.ok(), ip.ok() ? ip.value() : 0u, record.mac, record.from);
    };
    std::sort(list.begin(), list.end(), [&](const ControllerRecord& a, const ControllerRecord& b) {
        return sortKey(a) < sortKey(b);
    });
    return list;
}

std::vector<std::string> ControllerSet::conflicts() const {
    std::vector<std::string> lines;
    for (const auto& [identity, senders] : otherSenders_) {
        const ControllerRecord& first = records_.at(identity);
        // The interfaces are named only where they tell the senders apart.
        const bool acrossInterfaces =
            std::any_of(senders.begin(), senders.end(),
                        [&](const Sender& sender) { return sender.interface != first.interface; });
        const auto describe = [&](const std::string& from, const std::string& interface) {
            return acrossInterfaces && !interface.empty() ? from + " on " + interface : from;
        };
        std::string line =
            "MAC " + identity + " answered from " + describe(first.from, first.interface);
        for (const Sender& sender : senders) {
            line += ", " + describe(sender.from, sender.interface);
        }
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> ControllerSet::conflictedMacs() const {
    std::vector<std::string> macs;
    for (const auto& [identity, senders] : otherSenders_) {
        macs.push_back(records_.at(identity).mac);
    }
    return macs;
}

}  // namespace krvctl

namespace krvctl {

std::vector<std::vector<std::string>> ControllerSet::conflictedInterfaces() const {
    std::vector<std::vector<std::string>> all;
    for (const auto& [identity, senders] : otherSenders_) {
        std::vector<std::string> interfaces = {records_.at(identity).interface};
        for (const Sender& sender : senders) {
            if (std::find(interfaces.begin(), interfaces.end(), sender.interface) ==
                interfaces.end()) {
                interfaces.push_back(sender.interface);
            }
        }
        all.push_back(interfaces.size() > 1 ? interfaces : std::vector<std::string>{});
    }
    return all;
}

}  // namespace krvctl
