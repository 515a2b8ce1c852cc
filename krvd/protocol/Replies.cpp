#include "krvd/protocol/Replies.h"

#include "protocol/MessageText.h"
#include "protocol/TextTransforms.h"
#include "protocol/Wire.h"

namespace krvd {

namespace {

void appendIfNotEmpty(std::string& reply, std::string_view key, const std::string& value) {
    if (!value.empty()) {
        krv::appendItem(reply, key, value);
    }
}

}  // namespace

std::string deviceMac(const Settings& settings) {
    return krv::upperCased(settings.mac());
}

std::string buildStatusReply(const Settings& settings, const std::string& seqid,
                             const std::string& utcclock) {
    using krv::withoutLineBreaks;
    using namespace krv::wire::key;
    std::string reply = krv::messageStart(krv::wire::kStatus);
    krv::appendItem(reply, kSeqid, seqid);
    krv::appendItem(reply, kMac, deviceMac(settings));
    appendIfNotEmpty(reply, kIp, settings.ip());
    appendIfNotEmpty(reply, kNetmask, settings.netmask());
    appendIfNotEmpty(reply, kGateway, settings.gateway());
    appendIfNotEmpty(reply, kHostname, settings.hostname());
    appendIfNotEmpty(reply, kIpscheme, settings.ipscheme());
    appendIfNotEmpty(reply, kNtpip, settings.ntpip());
    appendIfNotEmpty(reply, kController, withoutLineBreaks(settings.controller()));
    appendIfNotEmpty(reply, kHousenames, withoutLineBreaks(settings.housenames()));
    appendIfNotEmpty(reply, kSyslogip, settings.syslogip());
    appendIfNotEmpty(reply, kNameserver, settings.nameserver());
    appendIfNotEmpty(reply, kNtpsync, settings.ntpsync());
    appendIfNotEmpty(reply, kSdusage, settings.sdusage());
    appendIfNotEmpty(reply, kSdkversion, withoutLineBreaks(settings.sdkversion()));
    appendIfNotEmpty(reply, kMac1, krv::upperCased(withoutLineBreaks(settings.mac1())));
    appendIfNotEmpty(reply, kMac2, krv::upperCased(withoutLineBreaks(settings.mac2())));
    appendIfNotEmpty(reply, kUptime, withoutLineBreaks(settings.uptime()));
    appendIfNotEmpty(reply, kLoadavg, withoutLineBreaks(settings.loadavg()));
    krv::appendItem(reply, kUtcclock, utcclock);
    krv::appendItem(reply, kDisplaytime, withoutLineBreaks(settings.displaytime()));
    return reply;
}

std::string buildAckReply(const Settings& settings, const std::string& seqid, bool accepted) {
    return krv::ackText(seqid, deviceMac(settings), accepted);
}

}  // namespace krvd
