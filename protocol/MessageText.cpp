#include "protocol/MessageText.h"

#include "protocol/Wire.h"

namespace krv {

std::string messageStart(std::string_view word) {
    std::string text(wire::kMagic);
    text += wire::kVersionByte;
    text += wire::kItemSeparator;
    text += word;
    return text;
}

void appendItem(std::string& text, std::string_view key, std::string_view value) {
    text += wire::kItemSeparator;
    text += key;
    text += wire::kValueSeparator;
    text += value;
}

std::string ackText(std::string_view seqid, std::string_view mac, bool accepted) {
    std::string text = messageStart(wire::kAck);
    appendItem(text, wire::key::kSeqid, seqid);
    appendItem(text, wire::key::kMac, mac);
    appendItem(text, wire::key::kAccept, accepted ? wire::kAcceptYes : wire::kAcceptNo);
    return text;
}

}  // namespace krv
