-- Wireshark dissector for the Velqorin boxes: the 316-byte frames of EtherType 0x0E0F
-- (discovery, commands and their answers) and the info query to a box behind a dial-up
-- link (XML over TCP port 5000).
--
-- Installed with the velqorin-network-monitor package where Wireshark loads global Lua
-- plugins; from a source tree:  tshark -X lua_script:packaging/wireshark/velqorin.lua -r FILE
--
-- Texts are read as the monitor reads them: 8-bit characters up to the first NUL inside
-- their field, or to the field's last byte when there is none.

local FRAME_SIZE = 316
local HEADER_SIZE = 14 -- the Ethernet header, shown by the eth (or Linux cooked) dissector
local ETHERTYPE = 0x0E0F
local INFO_PORT = 5000
local INFO_REQUEST = '<?xml version="1.0"?><velqorin><read-info/></velqorin>'
local INFO_ANSWER_LIMIT = 16000 -- the monitor reads no more of an answer than this
local LISTED_SERIAL_MAX = 19

----------------------------------------------------------------------------------------
-- Shared helpers

local function texts_up_to_nul(bytes)
    local nul = string.find(bytes, "\0", 1, true)
    if nul then return string.sub(bytes, 1, nul - 1) end
    return bytes
end

-- The boxes' 8-bit characters are Latin-1; Wireshark shows UTF-8. (TvbRange:string with
-- ENC_ISO_8859_1 cuts its result to the range's length in bytes, losing the end of any
-- text with an accent, so the conversion is done here.)
local function utf8_of_latin1(bytes)
    return (string.gsub(bytes, "[\128-\255]", function(c)
        local b = string.byte(c)
        return string.char(192 + math.floor(b / 64), 128 + b % 64)
    end))
end

-- A text field as the monitor reads it, in UTF-8.
local function field_text(range)
    return utf8_of_latin1(texts_up_to_nul(range:raw()))
end

-- The packed software version as the monitor shows it: "2.005 build 17", "..." for 0.
local function version_text(packed)
    if packed == 0 then return "..." end
    local major = math.floor(packed / 67108864)
    local minor = math.floor(packed / 65536) % 1024
    local build = packed % 65536
    return string.format("%d.%03d build %d", major, minor, build)
end

-- "1j 01h 01m 01s", leading zero units left out, as the synchronisation list shows an age.
local function duration_text(seconds)
    local days = math.floor(seconds / 86400)
    local rest = seconds % 86400
    local hours = math.floor(rest / 3600)
    rest = rest % 3600
    local minutes = math.floor(rest / 60)
    rest = rest % 60
    local text = ""
    local larger = false
    if days ~= 0 then
        text = string.format("%dj ", days)
        larger = true
    end
    if larger or hours ~= 0 then
        text = text .. string.format("%02dh ", hours)
        larger = true
    end
    if larger or minutes ~= 0 then text = text .. string.format("%02dm ", minutes) end
    return text .. string.format("%02ds", rest)
end

local function ip_text(range)
    if not range then return "?" end
    local b = { range:raw():byte(1, 4) }
    return string.format("%d.%d.%d.%d", b[1], b[2], b[3], b[4])
end

local function capitalised(text)
    return string.upper(string.sub(text, 1, 1)) .. string.sub(text, 2)
end

----------------------------------------------------------------------------------------
-- The 316-byte frame

local velqorin = Proto("velqorin", "Velqorin box protocol")

local KIND_NAMES = {
    [0] = "request",
    [1] = "reply",
    [2] = "accepted",
    [3] = "apply network",
    [4] = "apply and restart",
    [5] = "refused",
    [7] = "apply synchronisation",
    [8] = "apply and synchronise",
}
local KIND_REQUEST, KIND_REPLY, KIND_ACCEPTED, KIND_REFUSED = 0, 1, 2, 5
local KIND_APPLY_NETWORK = 3
local COMMANDS = { [3] = true, [4] = true, [7] = true, [8] = true }
local FROM_BOX = { [KIND_REPLY] = true, [KIND_ACCEPTED] = true, [KIND_REFUSED] = true }

-- What the monitor's DHCP column shows for addressMode; any other value is a fixed address.
local function dhcp_text(mode)
    if mode == 1 then return "yes" end
    if mode == 2 then return "Auto IP" end
    if mode == 3 then return "RARP" end
    return "no"
end

-- Offsets and sizes from the first byte of the Ethernet header, as in the record.
local F = velqorin.fields
local LAYOUT = {}

local function field(name, offset, size, protofield)
    F[name] = protofield
    LAYOUT[name] = { offset = offset, size = size }
end

field("magic", 14, 9, ProtoField.string("velqorin.magic", "Magic", base.ASCII, "magic"))
field("reserved", 23, 21, ProtoField.bytes("velqorin.reserved", "Reserved", base.NONE, "reserved"))
field("protocol_version", 44, 1,
    ProtoField.uint8("velqorin.protocol_version", "Protocol version", base.DEC, nil, nil,
        "protocolVersion"))
field("kind", 45, 1,
    ProtoField.uint8("velqorin.kind", "Kind", base.DEC, KIND_NAMES, nil, "frameKind"))
field("current_ip", 46, 4, ProtoField.ipv4("velqorin.current_ip", "Current IP address", "currentIp"))
field("current_mask", 50, 4, ProtoField.ipv4("velqorin.current_mask", "Current mask", "currentMask"))
field("manual_ip", 54, 4, ProtoField.ipv4("velqorin.manual_ip", "Manual IP address", "manualIp"))
field("manual_mask", 58, 4, ProtoField.ipv4("velqorin.manual_mask", "Manual mask", "manualMask"))
field("dhcp", 62, 1, ProtoField.uint8("velqorin.dhcp", "DHCP", base.DEC, nil, nil, "addressMode"))
field("link_speed", 63, 1,
    ProtoField.uint8("velqorin.link_speed", "Link speed", base.DEC, nil, nil, "linkSpeed"))
field("neighbourhood", 64, 1,
    ProtoField.uint8("velqorin.neighbourhood", "Neighbourhood", base.DEC, nil, nil, "neighbourhood"))
field("serial", 65, 20,
    ProtoField.string("velqorin.serial", "Serial number", base.UNICODE, "serialNumber"))
field("credential", 85, 50,
    ProtoField.string("velqorin.credential", "Credential", base.UNICODE, "credential"))
field("token", 135, 30,
    ProtoField.string("velqorin.token", "Analyser token", base.UNICODE, "analyserToken"))
field("version", 165, 4,
    ProtoField.string("velqorin.version", "Software version", base.ASCII, "softwareVersion"))
field("state_icon_shown", 169, 4,
    ProtoField.uint32("velqorin.state_icon_shown", "State icon shown", base.DEC, nil, nil,
        "stateIconShown"))
field("state_icon_alt", 173, 4,
    ProtoField.uint32("velqorin.state_icon_alt", "State icon choice", base.DEC, nil, nil,
        "stateIconAlt"))
field("sync_fault", 177, 4,
    ProtoField.uint32("velqorin.sync_fault", "Synchronisation fault", base.DEC, nil, nil, "syncFault"))
field("sync_done", 181, 4,
    ProtoField.uint32("velqorin.sync_done", "Synchronised", base.DEC, nil, nil, "syncDone"))
field("sync_age", 185, 4,
    ProtoField.uint32("velqorin.sync_age", "Last synchronisation, seconds ago", base.DEC, nil, nil,
        "syncAge"))
field("sync_slave", 189, 4,
    ProtoField.uint32("velqorin.sync_slave", "Follower", base.DEC, nil, nil, "syncSlave"))
field("sync_floor", 193, 4,
    ProtoField.int32("velqorin.sync_floor", "Floor", base.DEC, nil, nil, "syncFloor"))
field("sync_reserved", 197, 4,
    ProtoField.uint32("velqorin.sync_reserved", "Synchronisation reserved", base.DEC, nil, nil,
        "syncReserved"))
field("sync_master", 201, 4,
    ProtoField.uint32("velqorin.sync_master", "Master", base.DEC, nil, nil, "syncMaster"))
field("box_data", 205, 80, ProtoField.bytes("velqorin.box_data", "Box data", base.NONE, "boxData"))
field("challenge", 285, 30,
    ProtoField.string("velqorin.challenge", "Challenge", base.UNICODE, "challenge"))
field("clear_password", 315, 1,
    ProtoField.uint8("velqorin.clear_password", "Clear password", base.DEC, nil, nil, "clearPassword"))

-- Derived from the fields above, shown as the monitor shows them.
F.version_packed = ProtoField.uint32("velqorin.version_packed", "Packed", base.HEX, nil, nil,
    "softwareVersion: major in bits 26-31, minor in 16-25, build in 0-15")
F.link = ProtoField.string("velqorin.link", "Link", base.ASCII,
    "How the box is connected, from the fourth octet of its MAC address")
F.state_icon = ProtoField.string("velqorin.state_icon", "State icon", base.ASCII,
    "The lamp beside the box in the synchronisation list")
F.support_code = ProtoField.string("velqorin.support_code", "Support code", base.UNICODE,
    "The first 10 characters of the challenge, shown in the unlock dialog")
F.synchronisation = ProtoField.none("velqorin.synchronisation", "Synchronisation", base.NONE)
F.trailing = ProtoField.bytes("velqorin.trailing", "Bytes after the record", base.NONE)

local E = {
    length = ProtoExpert.new("velqorin.expert.length", "Not one record long",
        expert.group.MALFORMED, expert.severity.WARN),
    magic = ProtoExpert.new("velqorin.expert.magic", "Magic is not \"Velqorin\" and a NUL",
        expert.group.MALFORMED, expert.severity.WARN),
    reserved = ProtoExpert.new("velqorin.expert.reserved", "Reserved bytes not zero",
        expert.group.PROTOCOL, expert.severity.WARN),
    protocol_version = ProtoExpert.new("velqorin.expert.protocol_version",
        "Protocol version not 1", expert.group.PROTOCOL, expert.severity.WARN),
    kind = ProtoExpert.new("velqorin.expert.kind", "Unknown kind",
        expert.group.PROTOCOL, expert.severity.WARN),
    unlock = ProtoExpert.new("velqorin.expert.unlock", "Unlock code in clear",
        expert.group.SECURITY, expert.severity.WARN),
}
velqorin.experts = { E.length, E.magic, E.reserved, E.protocol_version, E.kind, E.unlock }

-- How the box is connected: the fourth octet of its MAC, the USB bit tested first.
local function link_text(octet)
    if octet % 8 >= 4 then return "USB" end
    if octet % 16 >= 8 then return "serial" end
    return "network"
end

-- The box's MAC, from an Ethernet header or, in a capture of "any" interface, the Linux
-- cooked header, whose source is the Ethernet source.
local eth_src = Field.new("eth.src")
local sll_src = Field.new("sll.src.eth")

function velqorin.dissector(tvb, pinfo, tree)
    -- The record counts from the Ethernet header, which comes before this data whatever
    -- the capture put in its place.
    local record_length = HEADER_SIZE + tvb:len()

    pinfo.cols.protocol = "Velqorin"
    local root = tree:add(velqorin, tvb(), "Velqorin box protocol")

    -- The range of a record field, nil when the frame ends before the field does.
    local function at(name)
        local place = LAYOUT[name]
        if place.offset + place.size > record_length then return nil end
        return tvb(place.offset - HEADER_SIZE, place.size)
    end
    local function add_le(name)
        local range = at(name)
        if not range then return nil, nil end
        return root:add_le(F[name], range), range
    end

    local rejected = {}
    if record_length ~= FRAME_SIZE then
        root:add_proto_expert_info(E.length, string.format(
            "Frame of %d bytes, not %d: the monitor ignores it", record_length, FRAME_SIZE))
        rejected[#rejected + 1] = string.format("%d bytes", record_length)
    end

    local magic = at("magic")
    if magic then
        local item = root:add(F.magic, magic, field_text(magic))
        if magic:raw() ~= "Velqorin\0" then
            item:add_proto_expert_info(E.magic,
                "Magic is not \"Velqorin\" and a NUL: the monitor ignores the frame")
            rejected[#rejected + 1] = "magic"
        end
    end
    local reserved = at("reserved")
    if reserved then
        local item = root:add(F.reserved, reserved)
        if reserved:raw() ~= string.rep("\0", reserved:len()) then
            item:add_proto_expert_info(E.reserved,
                "Reserved bytes not zero: the monitor ignores the frame")
            rejected[#rejected + 1] = "reserved bytes"
        end
    end
    local version_item, version_range = add_le("protocol_version")
    if version_range and version_range:uint() ~= 1 then
        version_item:add_proto_expert_info(E.protocol_version, string.format(
            "Protocol version %d, not 1: the monitor ignores the frame", version_range:uint()))
        rejected[#rejected + 1] = "protocol version"
    end

    local kind_item, kind_range = add_le("kind")
    local kind = kind_range and kind_range:uint()
    if kind and not KIND_NAMES[kind] then
        kind_item:add_proto_expert_info(E.kind,
            string.format("Unknown kind %d: the monitor ignores the frame", kind))
    end

    for _, name in ipairs({ "current_ip", "current_mask", "manual_ip", "manual_mask" }) do
        local range = at(name)
        if range then root:add(F[name], range) end
    end

    local dhcp_item, dhcp_range = add_le("dhcp")
    if dhcp_item then dhcp_item:append_text(" (" .. dhcp_text(dhcp_range:uint()) .. ")") end
    add_le("link_speed")
    local neighbourhood_item, neighbourhood_range = add_le("neighbourhood")
    if neighbourhood_item then
        neighbourhood_item:append_text(neighbourhood_range:uint() == 1 and " (yes)" or " (no)")
    end

    local serial
    local serial_range = at("serial")
    if serial_range then
        serial = field_text(serial_range)
        root:add(F.serial, serial_range, serial)
    end

    local clear = at("clear_password")
    local unlock = clear ~= nil and clear:uint() == 1
    local credential = at("credential")
    if credential then
        local item = root:add(F.credential, credential, field_text(credential))
        if unlock then
            item:append_text(" (the unlock code, in clear)")
        elseif COMMANDS[kind] then
            item:append_text(" (the password response)")
        end
    end
    local token = at("token")
    if token then root:add(F.token, token, field_text(token)) end

    local version = at("version")
    local version_shown
    if version then
        local packed = version:le_uint()
        version_shown = version_text(packed)
        local item = root:add(F.version, version, version_shown)
        item:add_le(F.version_packed, version)
    end

    -- The synchronisation fields, as a group when the frame holds them all.
    local sync_summary
    if at("sync_master") then
        local first = LAYOUT.state_icon_shown.offset - HEADER_SIZE
        local sync = root:add(F.synchronisation, tvb(first, LAYOUT.box_data.offset - LAYOUT.state_icon_shown.offset))
        local shown = at("state_icon_shown"):le_uint()
        local alt = at("state_icon_alt"):le_uint()
        local lamp = shown == 0 and "none" or (alt ~= 0 and "blue" or "beige")
        sync:add_le(F.state_icon_shown, at("state_icon_shown"))
            :append_text(shown == 0 and " (no state icon)" or " (a state icon)")
        sync:add_le(F.state_icon_alt, at("state_icon_alt"))
        sync:add(F.state_icon, tvb(first, 8), lamp):set_generated()

        local fault = at("sync_fault"):le_uint()
        local done = at("sync_done"):le_uint()
        local age = at("sync_age"):le_uint()
        local follower = at("sync_slave"):le_uint() ~= 0
        local floor = at("sync_floor"):le_int()
        local master = at("sync_master"):le_uint()
        sync:add_le(F.sync_fault, at("sync_fault"))
        sync:add_le(F.sync_done, at("sync_done"))
        local age_item = sync:add_le(F.sync_age, at("sync_age"))
        -- The age counts only when the box says it synchronised and reports no fault.
        local age_shown = fault == 0 and done ~= 0
        if age_shown then
            age_item:append_text(" (" .. duration_text(age) .. ")")
        else
            age_item:append_text(" (not shown)")
        end
        sync:add_le(F.sync_slave, at("sync_slave"))
            :append_text(follower and " (follows a master)" or " (master)")
        sync:add_le(F.sync_floor, at("sync_floor"))
        sync:add_le(F.sync_reserved, at("sync_reserved"))
        sync:add_le(F.sync_master, at("sync_master"))
        sync_summary = follower and string.format("follows %d, floor %d", master, floor) or "master"
        sync:append_text(": " .. sync_summary)
        if follower then
            if age_shown then sync:append_text(", last " .. duration_text(age) .. " ago") end
        end
    end

    local box_data = at("box_data")
    if box_data then root:add(F.box_data, box_data) end

    local challenge = at("challenge")
    if challenge then
        local text = field_text(challenge)
        local item = root:add(F.challenge, challenge, text)
        local code = string.sub(texts_up_to_nul(challenge:raw()), 1, 10)
        item:add(F.support_code, challenge:range(0, math.max(#code, 1)), utf8_of_latin1(code))
            :set_generated()
    end

    if clear then
        local item = root:add(F.clear_password, clear)
        if unlock then
            item:append_text(" (unlock: the credential is the unlock code)")
            item:add_proto_expert_info(E.unlock,
                "Unlock command: the unlock code travels in clear")
        end
    end

    if record_length > FRAME_SIZE then
        root:add(F.trailing, tvb(FRAME_SIZE - HEADER_SIZE))
    end

    -- The box's own frames carry its MAC as their source, read from the bytes: the address
    -- as text may come out as a maker's name.
    local source = FROM_BOX[kind] and (eth_src() or sll_src())
    if source then
        root:add(F.link, link_text(source.range:bytes():get_index(3))):set_generated()
    end

    -- The summary line.
    local name = kind and (KIND_NAMES[kind] or string.format("kind %d", kind)) or "truncated"
    if unlock and kind == KIND_APPLY_NETWORK then name = "unlock" end
    local info = capitalised(name)
    local who = serial and serial ~= "" and serial or nil
    if kind == KIND_REPLY and who then
        info = string.format("%s from %s: %s/%s, DHCP %s, version %s", info, who,
            ip_text(at("current_ip")), ip_text(at("current_mask")),
            dhcp_range and dhcp_text(dhcp_range:uint()) or "?", version_shown or "?")
    elseif FROM_BOX[kind] and who then
        info = string.format("%s by %s", info, who)
    elseif COMMANDS[kind] and who then
        info = string.format("%s %s %s", info, name == "unlock" and "of" or "to", who)
        if (kind == 7 or kind == 8) and sync_summary then
            info = info .. ": " .. sync_summary
        elseif name ~= "unlock" and dhcp_range and at("manual_mask") then
            info = string.format("%s: DHCP %s, %s/%s", info, dhcp_range:uint() == 1 and "yes" or "no",
                ip_text(at("manual_ip")), ip_text(at("manual_mask")))
        end
    end
    if kind == KIND_REQUEST and token then
        info = info .. ", token " .. field_text(token)
    end
    if #rejected > 0 then info = info .. " [ignored: " .. table.concat(rejected, ", ") .. "]" end
    pinfo.cols.info = info
    root:append_text(": " .. name .. (who and (", serial " .. who) or ""))
    return tvb:len()
end

DissectorTable.get("ethertype"):add(ETHERTYPE, velqorin)

----------------------------------------------------------------------------------------
-- The info query over TCP port 5000

local info = Proto("velqorin_info", "Velqorin box info query")

local I = info.fields
I.query = ProtoField.string("velqorin_info.query", "Query", base.ASCII)
I.box = ProtoField.ipv4("velqorin_info.box", "Box address",
    "The address of the box that answers: the far end of the dial-up link")
I.mac = ProtoField.ether("velqorin_info.mac", "MAC address", "<mac-address>, as the box sent it")
I.listed_mac = ProtoField.ether("velqorin_info.listed_mac", "Listed MAC address",
    "The MAC address the monitor lists: the serial-link bit of its fourth octet set")
I.serial = ProtoField.string("velqorin_info.serial", "Serial number", base.UNICODE, "<serial>")
I.software = ProtoField.string("velqorin_info.software", "Software", base.UNICODE, "<software>")
I.version = ProtoField.string("velqorin_info.version", "Software version", base.ASCII,
    "The version as the monitor shows it")

local IE = {
    query = ProtoExpert.new("velqorin_info.expert.query", "Not the monitor's query",
        expert.group.PROTOCOL, expert.severity.WARN),
    no_box = ProtoExpert.new("velqorin_info.expert.no_box", "The monitor lists no box for this answer",
        expert.group.MALFORMED, expert.severity.WARN),
    serial_cut = ProtoExpert.new("velqorin_info.expert.serial_cut", "Serial number cut",
        expert.group.PROTOCOL, expert.severity.NOTE),
}
info.experts = { IE.query, IE.no_box, IE.serial_cut }

-- Reads a number as the box's firmware writes it and as scanf's "%d" reads it back:
-- blanks skipped, a sign, digits up to `width` characters (sign included) when given.
-- Returns the value (clamped to the C int range) and the position after it, or nil.
local INT_MAX, INT_MIN = 2147483647, -2147483648

local function is_blank(c)
    return c == " " or c == "\t" or c == "\n" or c == "\v" or c == "\f" or c == "\r"
end

local function skip_blanks(text, pos)
    while pos <= #text and is_blank(string.sub(text, pos, pos)) do pos = pos + 1 end
    return pos
end

local function scan_decimal(text, pos, width)
    pos = skip_blanks(text, pos)
    local used = 0
    local function room() return width == nil or used < width end
    local negative = false
    local c = string.sub(text, pos, pos)
    if room() and (c == "-" or c == "+") then
        negative = c == "-"
        pos = pos + 1
        used = used + 1
    end
    local value, any = 0, false
    while pos <= #text and room() do
        c = string.sub(text, pos, pos)
        if not string.find(c, "^%d$") then break end
        if value <= INT_MAX then value = value * 10 + tonumber(c) end
        pos = pos + 1
        used = used + 1
        any = true
    end
    if not any then return nil, pos end
    if negative then value = -value end
    return math.max(INT_MIN, math.min(INT_MAX, value)), pos
end

-- "%02x": at most two hexadecimal digits after blanks.
local function scan_hex_octet(text, pos)
    pos = skip_blanks(text, pos)
    local digits = string.match(text, "^%x%x?", pos)
    if not digits then return nil, pos end
    return tonumber(digits, 16), pos + #digits
end

-- "%02x:%02x:%02x:%02x:%02x:%02x"; an octet that cannot be read, and all after it, is 0.
local function read_mac(text)
    local mac = { 0, 0, 0, 0, 0, 0 }
    local pos = 1
    for i = 1, 6 do
        if i > 1 then
            if string.sub(text, pos, pos) ~= ":" then break end
            pos = pos + 1
        end
        local octet
        octet, pos = scan_hex_octet(text, pos)
        if not octet then break end
        mac[i] = octet
    end
    return mac
end

-- "%d.%03d build %d", each part kept to its bits as the version word packs it.
local function read_software(text)
    local number = { 0, 0, 0 }
    local value, pos = scan_decimal(text, 1)
    if value then
        number[1] = value
        if string.sub(text, pos, pos) == "." then
            value, pos = scan_decimal(text, pos + 1, 3)
            if value then
                number[2] = value
                pos = skip_blanks(text, pos)
                if string.sub(text, pos, pos + 4) == "build" then
                    value = scan_decimal(text, skip_blanks(text, pos + 5))
                    if value then number[3] = value end
                end
            end
        end
    end
    local function bits(n, modulus) return (n % 4294967296) % modulus end
    return bits(number[1], 64), bits(number[2], 1024), bits(number[3], 65536)
end

local function ether(mac)
    return Address.ether(string.format("%02x:%02x:%02x:%02x:%02x:%02x", mac[1], mac[2], mac[3],
        mac[4], mac[5], mac[6]))
end

-- The value between `open` and `close` searched from `from`: its first and last
-- positions and the position after `close`; nil when a tag is missing.
local function element(text, from, open, close)
    local start = string.find(text, open, from, true)
    if not start then return nil end
    local value_start = start + #open
    local stop = string.find(text, close, value_start, true)
    if not stop then return nil end
    return value_start, stop - 1, stop + #close
end

-- The answer's three values, as the monitor reads them, with their positions; nil and
-- the missing tag when it would list no box.
local function parse_answer(raw)
    local text = texts_up_to_nul(raw)
    local root = string.find(text, "<velqorin>", 1, true)
    if not root then return nil, "<velqorin>" end
    local mac_first, mac_last, after = element(text, root, "<mac-address>", "</mac-address>")
    if not mac_first then return nil, "<mac-address>...</mac-address>" end
    local serial_first, serial_last
    serial_first, serial_last, after = element(text, after, "<serial>", "</serial>")
    if not serial_first then return nil, "<serial>...</serial>" end
    local software_first, software_last = element(text, after, "<software>", "</software>")
    if not software_first then return nil, "<software>...</software>" end
    return {
        mac = { mac_first, mac_last },
        serial = { serial_first, serial_last },
        software = { software_first, software_last },
    }
end

-- A range of the tvb from Lua positions (1-based, inclusive); empty values still point
-- at where they would be.
local function span(tvb, first, last)
    return tvb(first - 1, math.max(last - first + 1, 0))
end

local function dissect_query(tvb, pinfo, tree)
    local raw = tvb:raw()
    -- A query cut into segments: wait for the rest before judging it.
    if #raw < #INFO_REQUEST and string.sub(INFO_REQUEST, 1, #raw) == raw then
        pinfo.desegment_offset = 0
        pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
        return
    end
    pinfo.cols.protocol = "Velqorin info"
    local root = tree:add(info, tvb(), "Velqorin box info query")
    root:add(I.box, pinfo.dst):set_generated()
    local item = root:add(I.query, tvb(), utf8_of_latin1(raw))
    if raw ~= INFO_REQUEST then
        item:add_proto_expert_info(IE.query, "Not the 54 bytes of the monitor's info query")
    end
    pinfo.cols.info = "Info query to " .. tostring(pinfo.dst)
    return tvb:len()
end

local function dissect_answer(tvb, pinfo, tree)
    local raw = tvb:raw()
    local text = string.sub(raw, 1, INFO_ANSWER_LIMIT)
    local found, missing = parse_answer(text)
    -- An answer still without its last tag may come in more segments, as long as nothing
    -- ends the text first (a NUL) and it stays within what the monitor reads.
    if not found and not string.find(text, "\0", 1, true) and #raw < INFO_ANSWER_LIMIT then
        pinfo.desegment_offset = 0
        pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
        return
    end
    pinfo.cols.protocol = "Velqorin info"
    local root = tree:add(info, tvb(), "Velqorin box info answer")
    root:add(I.box, pinfo.src):set_generated()
    if not found then
        local why = "no " .. missing
        if #raw >= INFO_ANSWER_LIMIT and not string.find(text, "\0", 1, true) then
            why = string.format("no answer within the first %d bytes", INFO_ANSWER_LIMIT)
        end
        root:add_proto_expert_info(IE.no_box, "The monitor lists no box for this answer: " .. why)
        pinfo.cols.info = "Info answer from " .. tostring(pinfo.src) .. " without a box: " .. why
        return tvb:len()
    end

    local mac_text = string.sub(raw, found.mac[1], found.mac[2])
    local mac = read_mac(mac_text)
    local mac_range = span(tvb, found.mac[1], found.mac[2])
    local mac_item = root:add(I.mac, mac_range, ether(mac))
    if string.lower(mac_text) ~= tostring(ether(mac)) then
        mac_item:append_text(" (read from \"" .. utf8_of_latin1(mac_text) .. "\")")
    end
    local listed = { mac[1], mac[2], mac[3], mac[4], mac[5], mac[6] }
    if listed[4] % 16 < 8 then listed[4] = listed[4] + 8 end
    root:add(I.listed_mac, mac_range, ether(listed)):set_generated()

    local serial_range = span(tvb, found.serial[1], found.serial[2])
    local serial_raw = string.sub(raw, found.serial[1], found.serial[2])
    local serial_item = root:add(I.serial, serial_range, utf8_of_latin1(serial_raw))
    local serial_bytes = #serial_raw
    local listed_serial = utf8_of_latin1(serial_raw)
    if serial_bytes > LISTED_SERIAL_MAX then
        listed_serial = utf8_of_latin1(string.sub(serial_raw, 1, LISTED_SERIAL_MAX))
        serial_item:add_proto_expert_info(IE.serial_cut, string.format(
            "%d characters: the monitor lists the first %d, %s", serial_bytes, LISTED_SERIAL_MAX,
            listed_serial))
    end

    local software_range = span(tvb, found.software[1], found.software[2])
    local software_raw = string.sub(raw, found.software[1], found.software[2])
    local software_item = root:add(I.software, software_range, utf8_of_latin1(software_raw))
    local major, minor, build = read_software(software_raw)
    local shown = version_text(major * 67108864 + minor * 65536 + build)
    software_item:add(I.version, software_range, shown):set_generated()

    root:append_text(string.format(": %s, serial %s", tostring(pinfo.src), listed_serial))
    pinfo.cols.info = string.format("Info answer from %s: serial %s, MAC %s, version %s",
        tostring(pinfo.src), listed_serial, tostring(ether(mac)), shown)
    return tvb:len()
end

function info.dissector(tvb, pinfo, tree)
    if pinfo.dst_port == INFO_PORT then return dissect_query(tvb, pinfo, tree) end
    return dissect_answer(tvb, pinfo, tree)
end

DissectorTable.get("tcp.port"):add(INFO_PORT, info)
