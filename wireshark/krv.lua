-- Wireshark dissector for the Krevane setup protocol (krvd and the configuration tools that
-- speak to it) on UDP port 7217. Load it for one run with
--     wireshark -X lua_script:wireshark/krv.lua        (or tshark -X ...)
-- or for good by copying it into ~/.local/lib/wireshark/plugins/.
--
-- Every item becomes a named field (krv.command, krv.seqid, krv.mac, krv.ip, ...). Requests
-- are read the way the daemon reads them, and what it would refuse or ignore carries an
-- expert warning, so "_ws.expert" finds every datagram the daemon will not act on.

local krv = Proto("krv", "Krevane setup protocol")

local PORT = 7217
-- The daemon reads at most this many bytes of a datagram; the rest never reaches it.
local DAEMON_READ_LIMIT = 512
local HIGHEST_VERSION = 2

-- Every key a request or a reply carries.
local KEYS = {
    "seqid", "mac", "accept", "ip", "netmask", "gateway", "hostname", "ipscheme", "ntpip",
    "controller", "housenames", "syslogip", "nameserver", "ntpsync", "sdusage", "sdkversion",
    "mac1", "mac2", "uptime", "loadavg", "utcclock", "displaytime",
}
local KNOWN = {}
for _, key in ipairs(KEYS) do
    KNOWN[key] = true
end
local ADDRESS_KEYS = {
    ip = true, netmask = true, gateway = true, syslogip = true, nameserver = true, ntpip = true,
}
local CLEAR_KEYS = { ntpip = true, syslogip = true, nameserver = true }
local SCHEMES = { STATIC = true, DHCP = true }
-- A seqid, and the key and value of an unknown item, must hold none of these.
local FORBIDDEN = "[#;=]"

local f = {
    magic = ProtoField.string("krv.magic", "Magic"),
    version = ProtoField.uint8("krv.version", "Version", base.DEC),
    command = ProtoField.string("krv.command", "Command"),
    item = ProtoField.string("krv.item", "Item"),
    key = ProtoField.string("krv.key", "Key"),
    value = ProtoField.string("krv.value", "Value"),
    clear = ProtoField.string("krv.clear", "Setting to clear"),
}
for _, key in ipairs(KEYS) do
    f[key] = ProtoField.string("krv." .. key, key)
end
local field_list = {}
for _, field in pairs(f) do
    field_list[#field_list + 1] = field
end
krv.fields = field_list

local function warning(name, text)
    return ProtoExpert.new("krv." .. name, text, expert.group.MALFORMED, expert.severity.WARN)
end
local e = {
    header = warning("bad_header", "Header is not KRV and a version up to 2: ignored"),
    command = warning("bad_command", "Unknown command: not understood"),
    seqid = warning("bad_seqid", "Bad seqid item: the daemon does not answer"),
    mac = warning("bad_mac", "Bad MAC item: the daemon does not answer"),
    assignment = warning("bad_assignment", "Bad assignment: ACK with accept=no"),
    clear = warning("bad_clear", "Not a setting CLEAR removes: ACK with accept=no"),
    oversize = warning("oversize", "Longer than the daemon reads"),
    skipped = ProtoExpert.new("krv.skipped", "Item the daemon skips", expert.group.PROTOCOL,
                              expert.severity.NOTE),
}
krv.experts = { e.header, e.command, e.seqid, e.mac, e.assignment, e.clear, e.oversize,
                e.skipped }

-- A piece of the datagram: its text and where it lies (Lua positions, first and last).
local function piece(data, first, last)
    return { text = data:sub(first, last), first = first, last = last }
end

-- Splits a piece at its first separator into head and tail; tail is nil without separator.
local function split_first(data, p, separator)
    local at = data:find(separator, p.first, true)
    if not at or at > p.last then
        return p, nil
    end
    return piece(data, p.first, at - 1), piece(data, at + 1, p.last)
end

-- Adds a field for a piece; an empty piece is shown at the byte before it.
local function add(tree, tvb, field, p, text)
    local first = p.first - 1
    local length = p.last - p.first + 1
    if length <= 0 then
        first = math.max(first - 1, 0)
        length = first < tvb:len() and 1 or 0
    end
    return tree:add(field, tvb(first, length), text or p.text)
end

-- Lenient dotted quad, as the daemon checks it: the first four "."-parts are decimal digits
-- of value at most 255 (empty and missing parts count as 0); anything after is ignored.
local function is_ipv4_text(text)
    local parts = {}
    for part in (text .. "."):gmatch("([^.]*)%.") do
        parts[#parts + 1] = part
    end
    for i = 1, 4 do
        local part = parts[i] or ""
        if part:find("[^0-9]") then
            return false
        end
        local significant = part:gsub("^0+", "")
        if #significant > 3 or (tonumber(significant) or 0) > 255 then
            return false
        end
    end
    return true
end

local function add_seqid(tree, tvb, data, p)
    local key, value = split_first(data, p, "=")
    local item = add(tree, tvb, f.seqid, value or piece(data, p.last + 1, p.last))
    if key.text ~= "seqid" then
        item:add_proto_expert_info(e.seqid, "Expected seqid=ID, found " .. p.text)
    elseif value and value.text:find(FORBIDDEN) then
        item:add_proto_expert_info(e.seqid, "seqid holds \"#\", \";\" or \"=\"")
    end
end

local function add_mac(tree, tvb, data, p)
    local key, value = split_first(data, p, "=")
    value = value or piece(data, p.last + 1, p.last)
    local item = add(tree, tvb, f.mac, value)
    if key.text ~= "mac" then
        item:add_proto_expert_info(e.skipped, "Not a mac item, yet its value is taken as the MAC")
        return
    end
    local group = value
    for _ = 1, 6 do
        local head, tail = split_first(data, group, ":")
        if #head.text == 2 and not head.text:find("^%x%x$") then
            item:add_proto_expert_info(e.mac, "MAC group " .. head.text .. " is not hexadecimal")
            return
        end
        if not tail then
            break
        end
        group = tail
    end
    if value.text:find("#", 1, true) then
        item:add_proto_expert_info(e.skipped, "Further items are part of the MAC: no controller answers")
    end
end

-- One item of an ASSIGN list; returns false where the daemon's parse of the list fails.
local function add_assignment(tree, tvb, data, p)
    local key, value = split_first(data, p, "=")
    local k, v = key.text, value and value.text or ""
    if k == "" or v == "" then
        add(tree, tvb, f.item, p):add_proto_expert_info(e.assignment, "Empty key or value")
        return false
    end
    if ADDRESS_KEYS[k] and is_ipv4_text(v) or k == "utcclock" then
        add(tree, tvb, f[k], value)
        return true
    end
    if k == "ipscheme" then
        local item = add(tree, tvb, f.ipscheme, value)
        if not SCHEMES[v] then
            item:add_proto_expert_info(e.assignment, "ipscheme must be STATIC or DHCP")
            return false
        end
        return true
    end
    local item = add(tree, tvb, f.item, p)
    add(item, tvb, f.key, key)
    add(item, tvb, f.value, value)
    if k:find(FORBIDDEN) or v:find(FORBIDDEN) then
        item:add_proto_expert_info(e.assignment, "Item holds \"#\", \";\" or \"=\"")
        return false
    end
    local why = ADDRESS_KEYS[k] and "Not an IPv4 address: skipped" or "Not a setting: skipped"
    item:add_proto_expert_info(e.skipped, why)
    return true
end

-- The items of a reply (or of anything after the command word), each as its named field.
local function add_items(tree, tvb, data, rest)
    while rest do
        local p
        p, rest = split_first(data, rest, "#")
        local key, value = split_first(data, p, "=")
        if KNOWN[key.text] and value then
            add(tree, tvb, f[key.text], value)
        else
            local item = add(tree, tvb, f.item, p)
            add(item, tvb, f.key, key)
            if value then
                add(item, tvb, f.value, value)
            end
        end
    end
end

local function dissect_command(tree, tvb, data, word, args)
    local first, rest
    if word == "QUERY" then
        first, rest = split_first(data, args or piece(data, 1, 0), "#")
        add_seqid(tree, tvb, data, first)
        if rest then
            add_mac(tree, tvb, data, rest)
        end
    elseif word == "ASSIGN" or word == "CLEAR" then
        first, rest = split_first(data, args or piece(data, 1, 0), "#")
        add_seqid(tree, tvb, data, first)
        local mac
        if rest then
            mac, rest = split_first(data, rest, "#")
            add_mac(tree, tvb, data, mac)
        end
        if word == "CLEAR" then
            local target = rest or piece(data, #data + 1, #data)
            local item = add(tree, tvb, f.clear, target)
            if not CLEAR_KEYS[target.text] then
                item:add_proto_expert_info(e.clear)
            end
            return
        end
        -- The list ends at its first empty item; the daemon stops at the first bad one.
        while rest do
            local p
            p, rest = split_first(data, rest, "#")
            if p.text == "" or not add_assignment(tree, tvb, data, p) then
                break
            end
        end
    else
        add_items(tree, tvb, data, args)
    end
end

function krv.dissector(tvb, pinfo, tree)
    if tvb:len() == 0 then
        return 0
    end
    pinfo.cols.protocol = "KRV"
    local root = tree:add(krv, tvb())
    local data = tvb:raw()
    if #data > DAEMON_READ_LIMIT then
        root:add_proto_expert_info(e.oversize, "The daemon reads only the first 512 bytes")
        data = data:sub(1, DAEMON_READ_LIMIT)
    end

    local head, command_text = split_first(data, piece(data, 1, #data), "#")
    local magic = data:sub(1, 3)
    add(root, tvb, f.magic, piece(data, 1, math.min(3, head.last)))
    if #head.text ~= 4 or magic ~= "KRV" then
        root:add_proto_expert_info(e.header)
        pinfo.cols.info = "Not a setup datagram"
        return tvb:len()
    end
    local version_byte = head.text:sub(4, 4)
    local version = tonumber(version_byte:match("%d") or "0")
    local version_item = root:add(f.version, tvb(3, 1), version)
    if version > HIGHEST_VERSION then
        version_item:add_proto_expert_info(e.header)
    end

    local word_piece, args = split_first(data, command_text or piece(data, #data + 1, #data), "#")
    local word = word_piece.text
    add(root, tvb, f.command, word_piece)
    pinfo.cols.info = word
    if word ~= "QUERY" and word ~= "ASSIGN" and word ~= "CLEAR" and word ~= "STATUS" and
        word ~= "ACK" then
        root:add_proto_expert_info(e.command)
    end
    dissect_command(root, tvb, data, word, args)
    if args then
        pinfo.cols.info = word .. " " .. args.text:gsub("#", " ")
    end
    return tvb:len()
end

DissectorTable.get("udp.port"):add(PORT, krv)
