#include "krvctl/lan/DatagramDecoder.h"

#include <algorithm>
#include <span>

#include "protocol/Wire.h"

namespace krvctl {

namespace wire = krv::wire;

namespace {

Item splitItem(std::string_view text) {
    const std::size_t equals = text.find(wire::kValueSeparator);
    if (equals == std::string_view::npos) {
        return {std::string(text), {}, false};
    }
    return {std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)), true};
}

std::vector<std::string_view> segments(std::string_view text) {
    std::vector<std::string_view> parts;
    while (true) {
        const std::size_t at = text.find(wire::kItemSeparator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) {
            return parts;
        }
        text.remove_prefix(at + 1);
    }
}

std::vector<Item> splitEveryItem(std::string_view arguments) {
    std::vector<Item> items;
    for (const std::string_view segment : segments(arguments)) {
        items.push_back(splitItem(segment));
    }
    return items;
}

// A segment opens a new item only when its key comes later in the reply's order than the
// item before; anything else belongs to the value before it, "#" included.
std::vector<Item> splitOrderedItems(std::string_view arguments,
                                    std::span<const std::string_view> order, std::string& problem) {
    std::vector<Item> items;
    std::size_t position = 0;  // index in order after the last key taken
    for (const std::string_view segment : segments(arguments)) {
        Item item = splitItem(segment);
        const auto key =
            std::find(order.begin() + static_cast<std::ptrdiff_t>(position), order.end(), item.key);
        if (item.hasValue && key != order.end()) {
            position = static_cast<std::size_t>(key - order.begin()) + 1;
            items.push_back(std::move(item));
        } else if (!items.empty()) {
            items.back().value += wire::kItemSeparator;
            items.back().value += segment;
        } else {
            problem = "the reply does not begin with its seqid";
            return {};
        }
    }
    if (items.empty() || items.front().key != wire::key::kSeqid) {
        problem = "the reply does not begin with its seqid";
        return {};
    }
    return items;
}

Command commandOf(std::string_view word) {
    if (word == wire::kQuery) {
        return Command::Query;
    }
    if (word == wire::kAssign) {
        return Command::Assign;
    }
    if (word == wire::kClear) {
        return Command::Clear;
    }
    if (word == wire::kStatus) {
        return Command::Status;
    }
    if (word == wire::kAck) {
        return Command::Ack;
    }
    return Command::Unknown;
}

}  // namespace

const std::string* DecodedDatagram::find(std::string_view key) const {
    const auto item =
        std::find_if(items.begin(), items.end(), [key](const Item& i) { return i.key == key; });
    return item == items.end() ? nullptr : &item->value;
}

std::string_view commandName(Command command) {
    switch (command) {
        case Command::Query:
            return wire::kQuery;
        case Command::Assign:
            return wire::kAssign;
        case Command::Clear:
            return wire::kClear;
        case Command::Status:
            return wire::kStatus;
        case Command::Ack:
            return wire::kAck;
        case Command::Unknown:
            break;
    }
    return "?";
}

DecodedDatagram decodeDatagram(std::string_view bytes) {
    DecodedDatagram decoded;
    const std::size_t headEnd = bytes.find(wire::kItemSeparator);
    const std::string_view head = bytes.substr(0, headEnd);
    if (headEnd == std::string_view::npos || head.size() != wire::kMagic.size() + 1 ||
        !head.starts_with(wire::kMagic)) {
        decoded.problem = "not a setup datagram (no KRV head)";
        return decoded;
    }
    decoded.version = head.back();
    std::string_view rest = bytes.substr(headEnd + 1);
    const std::size_t wordEnd = rest.find(wire::kItemSeparator);
    decoded.word = std::string(rest.substr(0, wordEnd));
    decoded.command = commandOf(decoded.word);
    if (decoded.command == Command::Unknown) {
        decoded.problem = "unknown command word";
        return decoded;
    }
    decoded.isSetupDatagram = true;
    if (wordEnd == std::string_view::npos) {
        return decoded;
    }
    const std::string_view arguments = rest.substr(wordEnd + 1);
    switch (decoded.command) {
        case Command::Status:
            decoded.items = splitOrderedItems(arguments, wire::kStatusKeys, decoded.problem);
            break;
        case Command::Ack:
            decoded.items = splitOrderedItems(arguments, wire::kAckKeys, decoded.problem);
            break;
        default:
            decoded.items = splitEveryItem(arguments);
            break;
    }
    return decoded;
}

}  // namespace krvctl
