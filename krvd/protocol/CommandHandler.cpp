#include "krvd/protocol/CommandHandler.h"

#include "krvd/protocol/Replies.h"
#include "krvd/system/ChangeMark.h"
#include "krvd/system/SettingsReader.h"
#include "krvd/system/SettingsWriter.h"
#include "protocol/DatagramParser.h"
#include "protocol/Wire.h"

namespace krvd {

using krv::isClearKey;
using krv::parseAssignments;
using krv::parseMac;
using krv::parseSeqid;
using krv::splitFirst;
using krv::SplitResult;
namespace wire = krv::wire;

namespace {

// The three positional parts of ASSIGN and CLEAR: seqid item, MAC item, rest.
struct AddressedArguments {
    std::string seqidItem;
    std::string macItem;
    std::string rest;
};

AddressedArguments splitAddressed(const std::string& arguments) {
    SplitResult first = splitFirst(arguments, wire::kItemSeparator);
    SplitResult second = splitFirst(first.tail, wire::kItemSeparator);
    return {std::move(first.head), std::move(second.head), std::move(second.tail)};
}

// What the mark says about the change a datagram asked for, before its first command.
ChangeRecord changeRecord(std::string_view command, const SetupMessage& message,
                          const std::string& request) {
    ChangeRecord record;
    record.command = command;
    record.seqid = message.seqid;
    record.mac = message.mac;
    record.request = request;
    return record;
}

}  // namespace

CommandHandler::CommandHandler(Settings& settings, SystemAccess& system, ReplySender& replies,
                               Sleeper& sleeper)
    : settings_(settings), system_(system), replies_(replies), sleeper_(sleeper) {}

bool CommandHandler::handleCommand(const std::string& commandText, SetupMessage& message) {
    const SplitResult command = splitFirst(commandText, wire::kItemSeparator);
    const std::string& word = command.head;
    if (word == wire::kQuery) {
        return handleQuery(command.tail, message);
    }
    if (word == wire::kAssign) {
        return handleAssign(command.tail, message);
    }
    if (word == wire::kClear) {
        return handleClear(command.tail, message);
    }
    // Every reply is a broadcast, so the replies of other controllers arrive here too.
    return word == wire::kStatus || word == wire::kAck;
}

bool CommandHandler::isAddressedHere(const SetupMessage& message) const {
    return message.mac == deviceMac(settings_);
}

bool CommandHandler::handleQuery(const std::string& arguments, SetupMessage& message) {
    // The MAC item is all the rest, further "#" included.
    const SplitResult items = splitFirst(arguments, wire::kItemSeparator);
    if (!parseSeqid(items.head, message) || !parseMac(items.tail, message)) {
        return false;
    }
    if (!message.mac.empty() && !isAddressedHere(message)) {
        return true;
    }
    refresh(settings_, system_);
    replies_.send(buildStatusReply(settings_, message.seqid, readClock(system_.shell)));
    return true;
}

bool CommandHandler::handleAssign(const std::string& arguments, SetupMessage& message) {
    const AddressedArguments parts = splitAddressed(arguments);
    const bool wellFormed = parseSeqid(parts.seqidItem, message) &&
                            parseMac(parts.macItem, message) &&
                            parseAssignments(parts.rest, message);
    if (!isAddressedHere(message)) {
        return true;
    }
    // The saved copy taken here is what writeSettings compares against.
    refresh(settings_, system_);
    if (!wellFormed) {
        replies_.send(buildAckReply(settings_, message.seqid, false));
        return false;
    }
    // Acknowledge before anything changes: a new address may cut this controller off.
    replies_.send(buildAckReply(settings_, message.seqid, true));
    // From here on a daemon ended in the middle leaves the settings partly written.
    MarkingShell change(system_.shell, system_.paths.changeMarkFile,
                        changeRecord(wire::kAssign, message, parts.rest));
    applyAssignment(message, change);
    writeSettings(settings_, change);
    change.finish();
    sleeper_.sleepSeconds(wire::kPauseAfterAssignSeconds);
    return true;
}

void CommandHandler::applyAssignment(const SetupMessage& message, ShellRunner& shell) {
    // The setters re-check addresses strictly; a value they refuse is simply not applied.
    if (!message.ip.empty()) {
        settings_.setIp(message.ip);
    }
    if (!message.netmask.empty()) {
        settings_.setNetmask(message.netmask);
    }
    if (!message.gateway.empty()) {
        settings_.setGateway(message.gateway);
    }
    if (!message.ipscheme.empty()) {
        settings_.setIpscheme(message.ipscheme);
    }
    if (!message.ntpip.empty()) {
        settings_.setNtpip(message.ntpip);
    }
    if (!message.syslogip.empty()) {
        settings_.setSyslogip(message.syslogip);
    }
    if (!message.nameserver.empty()) {
        settings_.setNameserver(message.nameserver);
    }
    if (!message.utcclock.empty()) {
        setClock(settings_, shell, message.utcclock);
    }
}

bool CommandHandler::handleClear(const std::string& arguments, SetupMessage& message) {
    const AddressedArguments parts = splitAddressed(arguments);
    const bool wellFormed = parseSeqid(parts.seqidItem, message) &&
                            parseMac(parts.macItem, message) && isClearKey(parts.rest);
    if (!isAddressedHere(message)) {
        return true;
    }
    if (!wellFormed) {
        refresh(settings_, system_);
        replies_.send(buildAckReply(settings_, message.seqid, false));
        return false;
    }
    MarkingShell change(system_.shell, system_.paths.changeMarkFile,
                        changeRecord(wire::kClear, message, parts.rest));
    runClear(parts.rest, change);
    change.finish();
    replies_.send(buildAckReply(settings_, message.seqid, true));
    return true;
}

void CommandHandler::runClear(const std::string& key, ShellRunner& shell) {
    if (key == wire::key::kNtpip) {
        clearTimeServer(settings_, shell);
    } else if (key == wire::key::kSyslogip) {
        clearSyslogServer(settings_, shell);
    } else {
        clearNameServer(settings_, shell);
    }
}

}  // namespace krvd
