#include "krvd/protocol/Replies.h"

#include "krvd/protocol/TextTransforms.h"

namespace krvd {

namespace {

// Magic and protocol version 2 of every reply.
constexpr const char* kReplyStart = "KRV2";

void appendIfNotEmpty(std::string& reply, const char* keyText, const std::string& value) {
    if (!value.empty()) {
        reply += keyText;
        reply += value;
    }
}

std::string replyHead(const char* command, const Settings& settings, const std::string& seqid) {
    std::string reply = kReplyStart;
    reply += command;
    reply += seqid;
    reply += "#mac=";
    reply += deviceMac(settings);
    return reply;
}

}  // namespace

std::string deviceMac(const Settings& settings) {
    return upperCased(settings.mac());
}

std::string buildStatusReply(const Settings& settings, const std::string& seqid,
                             const std::string& utcclock) {
    std::string reply = replyHead("#STATUS#seqid=", settings, seqid);
    appendIfNotEmpty(reply, "#ip=", settings.ip());
    appendIfNotEmpty(reply, "#netmask=", settings.netmask());
    appendIfNotEmpty(reply, "#gateway=", settings.gateway());
    appendIfNotEmpty(reply, "#hostname=", settings.hostname());
    appendIfNotEmpty(reply, "#ipscheme=", settings.ipscheme());
    appendIfNotEmpty(reply, "#ntpip=", settings.ntpip());
    appendIfNotEmpty(reply, "#controller=", withoutLineBreaks(settings.controller()));
    appendIfNotEmpty(reply, "#housenames=", withoutLineBreaks(settings.housenames()));
    appendIfNotEmpty(reply, "#syslogip=", settings.syslogip());
    appendIfNotEmpty(reply, "#nameserver=", settings.nameserver());
    appendIfNotEmpty(reply, "#ntpsync=", settings.ntpsync());
    appendIfNotEmpty(reply, "#sdusage=", settings.sdusage());
    appendIfNotEmpty(reply, "#sdkversion=", withoutLineBreaks(settings.sdkversion()));
    appendIfNotEmpty(reply, "#mac1=", upperCased(withoutLineBreaks(settings.mac1())));
    appendIfNotEmpty(reply, "#mac2=", upperCased(withoutLineBreaks(settings.mac2())));
    appendIfNotEmpty(reply, "#uptime=", withoutLineBreaks(settings.uptime()));
    appendIfNotEmpty(reply, "#loadavg=", withoutLineBreaks(settings.loadavg()));
    reply += "#utcclock=";
    reply += utcclock;
    reply += "#displaytime=";
    reply += withoutLineBreaks(settings.displaytime());
    return reply;
}

std::string buildAckReply(const Settings& settings, const std::string& seqid, bool accepted) {
    std::string reply = replyHead("#ACK#seqid=", settings, seqid);
    reply += accepted ? "#accept=yes" : "#accept=no";
    return reply;
}

}  // namespace krvd
