// krvctl's side of the port: whatever arrives is decoded, matched, turned into a controller
// record and shown, and none of it may crash the tool or reach a terminal unescaped. A reply
// decoded without a problem writes back out to the very bytes that came, so no byte of a
// value is lost or moved into another field.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "krvctl/lan/ControllerRecord.h"
#include "krvctl/lan/DatagramDecoder.h"
#include "krvctl/lan/ReplyMatching.h"
#include "krvctl/values/Printable.h"
#include "krvctl/views/JsonView.h"
#include "krvctl/views/TableView.h"
#include "protocol/MessageText.h"

namespace {

void require(bool holds, const char* property, const std::string& input) {
    if (!holds) {
        std::fprintf(stderr, "property broken: %s; input of %zu bytes\n", property, input.size());
        std::abort();
    }
}

std::string writtenOut(const krvctl::DecodedDatagram& decoded) {
    std::string text = krv::messageStart(decoded.word);
    text[3] = decoded.version;
    for (const krvctl::Item& item : decoded.items) {
        krv::appendItem(text, item.key, item.value);
    }
    return text;
}

bool terminalSafe(const std::string& text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const krvctl::DecodedDatagram decoded = krvctl::decodeDatagram(input);
    const bool reply =
        decoded.command == krvctl::Command::Status || decoded.command == krvctl::Command::Ack;
    if (decoded.isSetupDatagram && reply && decoded.problem.empty()) {
        require(writtenOut(decoded) == input, "a decoded reply writes back to its bytes", input);
    }
    krvctl::ReplyFilter{krvctl::Command::Ack, "00000000000000ab", "02:00:00:4B:10:01"}.accepts(
        decoded);
    if (const auto record = krvctl::recordFromStatus(decoded, "192.0.2.10", 1796731200000)) {
        require(terminalSafe(krvctl::printable(record->mac)), "a MAC is shown printable", input);
        krvctl::dumpJson(krvctl::controllerJson(*record), -1);
    }
    const krvctl::MonitoredDatagram monitored{{input, "192.0.2.10", "eth0"}, decoded, 1796731200000};
    require(terminalSafe(krvctl::monitorLine(monitored)), "a monitor line is printable", input);
    krvctl::dumpJson(krvctl::monitorJson(monitored), -1);
    return 0;
}
