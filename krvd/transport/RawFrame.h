#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/Wire.h"

namespace krvd {

// A reply as one hand-built IPv4/UDP broadcast: 20 bytes of IPv4 header, 8 of UDP header, then
// the payload. Both ports are this constant, whatever port the Broadcaster listens on.
inline constexpr std::uint16_t kRawFramePort = krv::wire::kPort;
inline constexpr std::size_t kRawHeaderSize = 28;
// The largest payload that still fits an Ethernet MTU of 1500 with both headers.
inline constexpr std::size_t kRawPayloadRoom = 1472;

// Internet checksum (RFC 1071) of count 16-bit words summed as they lie in memory, so the
// result stored back in memory order is right in network byte order on any processor.
// A count below 1 gives 0xFFFF.
std::uint16_t checksum(const std::uint16_t* words, std::int32_t count);

// The whole frame for payload (at most kRawPayloadRoom bytes): identification 54321,
// don't-fragment, TTL 64, source 0.0.0.0 (the kernel fills in the interface's address),
// destination 255.255.255.255, UDP checksum 0.
std::string buildRawFrame(const std::string& payload);

}  // namespace krvd
