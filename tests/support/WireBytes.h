#pragma once

#include <cstddef>
#include <string>

namespace krvtest {

// Fields of a frame as they stand on the wire: one byte, or a 16-bit word in network order.
inline unsigned byteAt(const std::string& bytes, std::size_t offset) {
    return static_cast<unsigned char>(bytes.at(offset));
}

inline unsigned wordAt(const std::string& bytes, std::size_t offset) {
    return byteAt(bytes, offset) << 8 | byteAt(bytes, offset + 1);
}

}  // namespace krvtest
