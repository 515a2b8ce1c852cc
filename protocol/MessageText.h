#pragma once

#include <string>
#include <string_view>

namespace krv {

// "KRV2#WORD": the start of every request the tool sends and every reply the daemon sends.
std::string messageStart(std::string_view word);

// Appends "#key=value"; the value goes as it is, whatever bytes it holds.
void appendItem(std::string& text, std::string_view key, std::string_view value);

// "KRV2#ACK#seqid=SEQ#mac=MAC#accept=yes" (or "no").
std::string ackText(std::string_view seqid, std::string_view mac, bool accepted);

}  // namespace krv
