#include "krvctl/lan/Requests.h"

#include "protocol/MessageText.h"
#include "protocol/Wire.h"

namespace krvctl {

namespace wire = krv::wire;

namespace {

std::string addressedRequest(std::string_view word, const std::string& seqid,
                             const std::string& mac) {
    std::string text = krv::messageStart(word);
    krv::appendItem(text, wire::key::kSeqid, seqid);
    krv::appendItem(text, wire::key::kMac, mac);
    return text;
}

}  // namespace

std::string queryRequest(const std::string& seqid, const std::string& mac) {
    if (!mac.empty()) {
        return addressedRequest(wire::kQuery, seqid, mac);
    }
    std::string text = krv::messageStart(wire::kQuery);
    krv::appendItem(text, wire::key::kSeqid, seqid);
    return text;
}

std::string assignRequest(const std::string& seqid, const std::string& mac,
                          const Assignment& assignment, std::int64_t nowSeconds) {
    std::string text = addressedRequest(wire::kAssign, seqid, mac);
    for (const Setting& setting : assignment.settings) {
        krv::appendItem(text, setting.key, wireValue(setting, nowSeconds));
    }
    return text;
}

std::string clearRequest(const std::string& seqid, const std::string& mac,
                         const std::string& setting) {
    std::string text = addressedRequest(wire::kClear, seqid, mac);
    text += wire::kItemSeparator;
    text += setting;
    return text;
}

std::string seqidFrom(std::uint64_t randomBits) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string seqid(16, '0');
    for (auto digit = seqid.rbegin(); digit != seqid.rend(); ++digit) {
        *digit = kHex[randomBits & 0xF];
        randomBits >>= 4;
    }
    return seqid;
}

}  // namespace krvctl
