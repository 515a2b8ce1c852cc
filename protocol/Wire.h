#pragma once

// The setup protocol's fixed words, as the daemon and the configuration tool both speak them.
// Every datagram is text: a head ("KRV" and one version byte), then "#"-separated items, each
// a key, "=" and a value.

#include <array>
#include <cstdint>
#include <string_view>

namespace krv::wire {

// Requests and broadcast replies alike travel to and from this UDP port.
inline constexpr std::uint16_t kPort = 7217;

inline constexpr std::string_view kMagic = "KRV";
// Replies always carry version 2; requests with a version byte up to 2 are understood.
inline constexpr char kVersionByte = '2';

inline constexpr char kItemSeparator = '#';
inline constexpr char kValueSeparator = '=';
inline constexpr char kMacGroupSeparator = ':';
inline constexpr char kIpv4PartSeparator = '.';
// Bytes a seqid or an unknown assignment item must not hold.
inline constexpr std::string_view kForbiddenInValues = "#;=";

inline constexpr std::string_view kQuery = "QUERY";
inline constexpr std::string_view kAssign = "ASSIGN";
inline constexpr std::string_view kClear = "CLEAR";
inline constexpr std::string_view kStatus = "STATUS";
inline constexpr std::string_view kAck = "ACK";

namespace key {
inline constexpr std::string_view kSeqid = "seqid";
inline constexpr std::string_view kMac = "mac";
inline constexpr std::string_view kAccept = "accept";
inline constexpr std::string_view kIp = "ip";
inline constexpr std::string_view kNetmask = "netmask";
inline constexpr std::string_view kGateway = "gateway";
inline constexpr std::string_view kHostname = "hostname";
inline constexpr std::string_view kIpscheme = "ipscheme";
inline constexpr std::string_view kNtpip = "ntpip";
inline constexpr std::string_view kController = "controller";
inline constexpr std::string_view kHousenames = "housenames";
inline constexpr std::string_view kSyslogip = "syslogip";
inline constexpr std::string_view kNameserver = "nameserver";
inline constexpr std::string_view kNtpsync = "ntpsync";
inline constexpr std::string_view kSdusage = "sdusage";
inline constexpr std::string_view kSdkversion = "sdkversion";
inline constexpr std::string_view kMac1 = "mac1";
inline constexpr std::string_view kMac2 = "mac2";
inline constexpr std::string_view kUptime = "uptime";
inline constexpr std::string_view kLoadavg = "loadavg";
inline constexpr std::string_view kUtcclock = "utcclock";
inline constexpr std::string_view kDisplaytime = "displaytime";
}  // namespace key

inline constexpr std::string_view kAcceptYes = "yes";
inline constexpr std::string_view kAcceptNo = "no";
inline constexpr std::string_view kSchemeStatic = "STATIC";
inline constexpr std::string_view kSchemeDhcp = "DHCP";

// Every item of a STATUS reply in the order it is sent: seqid and mac first, then the
// reported values (each only when not empty), and utcclock and displaytime always last.
inline constexpr std::array<std::string_view, 21> kStatusKeys = {
    key::kSeqid,      key::kMac,        key::kIp,      key::kNetmask,    key::kGateway,
    key::kHostname,   key::kIpscheme,   key::kNtpip,   key::kController, key::kHousenames,
    key::kSyslogip,   key::kNameserver, key::kNtpsync, key::kSdusage,    key::kSdkversion,
    key::kMac1,       key::kMac2,       key::kUptime,  key::kLoadavg,    key::kUtcclock,
    key::kDisplaytime};

// Every item of an ACK reply, in order.
inline constexpr std::array<std::string_view, 3> kAckKeys = {key::kSeqid, key::kMac, key::kAccept};

// The settings an ASSIGN may carry, in the order the daemon applies them.
inline constexpr std::array<std::string_view, 8> kAssignKeys = {
    key::kIp,    key::kNetmask,  key::kGateway,    key::kIpscheme,
    key::kNtpip, key::kSyslogip, key::kNameserver, key::kUtcclock};

// The settings a CLEAR may remove.
inline constexpr std::array<std::string_view, 3> kClearKeys = {key::kNtpip, key::kSyslogip,
                                                               key::kNameserver};

// Public resolvers the daemon never reports as the name server: a query shows the previous
// name server instead, so an assignment of one of these cannot be seen in a STATUS reply.
inline constexpr std::array<std::string_view, 4> kUnreportedNameservers = {"1.1.1.1", "8.8.8.8",
                                                                           "1.0.0.1", "8.8.4.4"};

// After acknowledging an accepted ASSIGN the daemon writes the changes, then pauses this long
// before it reads the next datagram, so the controller can settle on its new addresses.
inline constexpr unsigned kPauseAfterAssignSeconds = 5;

}  // namespace krv::wire
