#pragma once

#include <cstdint>

namespace krvd {

inline constexpr const char* kVersion = "4.12";
// The setup protocol's UDP port, for requests and broadcast replies alike.
inline constexpr std::uint16_t kPort = 7217;

}  // namespace krvd
