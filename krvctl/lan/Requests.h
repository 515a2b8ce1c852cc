#pragma once

#include <cstdint>
#include <string>

#include "krvctl/values/Assignment.h"

namespace krvctl {

// "KRV2#QUERY#seqid=SEQ", with "#mac=MAC" when one controller is meant.
std::string queryRequest(const std::string& seqid, const std::string& mac);

// "KRV2#ASSIGN#seqid=SEQ#mac=MAC#key=value...", "now" resolved against nowSeconds.
std::string assignRequest(const std::string& seqid, const std::string& mac,
                          const Assignment& assignment, std::int64_t nowSeconds);

// "KRV2#CLEAR#seqid=SEQ#mac=MAC#SETTING".
std::string clearRequest(const std::string& seqid, const std::string& mac,
                         const std::string& setting);

// A fresh request identifier: hex digits only, so no reply can mistake where it ends.
std::string seqidFrom(std::uint64_t randomBits);

}  // namespace krvctl
