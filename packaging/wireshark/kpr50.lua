-- The KP-R50 card programmer's frames in USB bulk transfers, for Wireshark and tshark.
--
-- Frame: length (16-bit LE, the whole frame) | command byte | payload | CRC-16/MODBUS (LE).
-- A reply carries its command byte OR 0x80. The Info column and the tree read as a line of
-- KpNOX Koder's text trace does: "request 'M' status, payload 0, CRC ok".
--
-- KpNOX Koder's pcap traces (--trace FILE --trace-format pcap) hold zero bytes in place of
-- the secrets: the login proof of an 'L' request, the challenge of the reply to 'n' and both
-- password keys of an 'H' request, and with them the rest of that frame, its CRC included.
-- Such a frame shows "[secrets withheld]" and its CRC is not checked. A capture of the real
-- wire (usbmon, USBPcap) holds them all: keep it to yourself.
--
-- Load it for one run:
--   tshark -X lua_script:packaging/wireshark/kpr50.lua -r trace.pcap
--   wireshark -X lua_script:packaging/wireshark/kpr50.lua trace.pcap
-- or for good: copy it into Wireshark's personal Lua plugins folder (Help > About >
-- Folders; ~/.local/lib/wireshark/plugins on Linux, %APPDATA%\Wireshark\plugins on Windows).

local kpr50 = Proto("kpr50", "KP-R50 programmer frame")

local names = {
  [0x4D] = "status", [0x73] = "key-signature", [0x6C] = "logout", [0x6E] = "challenge",
  [0x52] = "card-info", [0x4C] = "login", [0x48] = "change-password", [0x70] = "prepare",
  [0x50] = "write-file", [0x72] = "read-file", [0x43] = "erase-card",
}

-- Where each secret lies, counted from the frame's start.
local secrets = {
  [0x4C] = { first = 15, fields = { "login proof (MAC)" } },
  [0x48] = { first = 15, fields = { "old password key", "new password key" } },
  [0xEE] = { first = 3, fields = { "challenge" } },
}

local f_length = ProtoField.uint16("kpr50.length", "Length", base.DEC)
local f_command = ProtoField.uint8("kpr50.command", "Command", base.HEX)
local f_reply = ProtoField.bool("kpr50.reply", "Reply")
local f_payload = ProtoField.bytes("kpr50.payload", "Payload")
local f_identity = ProtoField.string("kpr50.identity", "Identity")
local f_secret = ProtoField.bytes("kpr50.secret", "Secret")
local f_crc = ProtoField.uint16("kpr50.crc", "CRC", base.HEX)
local f_crc_status = ProtoField.string("kpr50.crc_status", "CRC status")
kpr50.fields = { f_length, f_command, f_reply, f_payload, f_identity, f_secret, f_crc, f_crc_status }

-- 16-bit exclusive or in plain arithmetic: Wireshark's Lua versions differ in their bit ops.
local function bxor(a, b)
  local result, bit = 0, 1
  while a > 0 or b > 0 do
    local x, y = a % 2, b % 2
    if x ~= y then result = result + bit end
    a, b, bit = math.floor(a / 2), math.floor(b / 2), bit * 2
  end
  return result
end

-- CRC-16/MODBUS over the first n bytes: over a whole good frame, CRC included, it is 0.
local function crc16(tvb, n)
  local crc = 0xFFFF
  for i = 0, n - 1 do
    crc = bxor(crc, tvb(i, 1):uint())
    for _ = 1, 8 do
      local low = crc % 2
      crc = math.floor(crc / 2)
      if low == 1 then crc = bxor(crc, 0xA001) end
    end
  end
  return crc
end

-- "request 'M' status", "reply 'n' challenge", "request 0x7A unknown".
local function kind_and_command(byte)
  local kind = byte >= 0x80 and "reply" or "request"
  local name = names[byte % 0x80]
  if name then return string.format("%s '%s' %s", kind, string.char(byte % 0x80), name) end
  return string.format("%s 0x%02X unknown", kind, byte)
end

local function all_zero(tvb, from, to)
  for i = from, to - 1 do
    if tvb(i, 1):uint() ~= 0 then return false end
  end
  return true
end

function kpr50.dissector(tvb, pinfo, tree)
  local size = tvb:len()
  if size < 3 then return 0 end
  local length = tvb(0, 2):le_uint()
  local command = tvb(2, 1):uint()
  local secret = secrets[command]
  pinfo.cols.protocol = "KP-R50"
  local item = tree:add(kpr50, tvb(), "KP-R50")
  item:add_le(f_length, tvb(0, 2))
  item:add(f_command, tvb(2, 1)):append_text(" (" .. kind_and_command(command) .. ")")
  item:add(f_reply, tvb(2, 1), command >= 0x80)

  local summary
  if size < 5 or size > 1032 or length ~= size then
    summary = string.format("not one whole frame: length field %d, %s", length,
                            kind_and_command(command))
    if size > 3 then item:add(f_payload, tvb(3)) end
  else
    local crc_status
    if crc16(tvb, size) == 0 then
      crc_status = "ok"
    elseif secret and secret.first < size and all_zero(tvb, secret.first, size) then
      crc_status = "not checked"
    else
      crc_status = "bad"
    end
    summary = string.format("%s, payload %d, CRC %s", kind_and_command(command), size - 5,
                            crc_status)
    if size > 5 then item:add(f_payload, tvb(3, size - 5)) end
    item:add_le(f_crc, tvb(size - 2, 2))
    item:add(f_crc_status, tvb(size - 2, 2), crc_status)
  end
  if secret then
    if secret.first == 15 and size >= 15 then
      item:add(f_identity, tvb(3, 12))
    end
    for k, label in ipairs(secret.fields) do
      local at = secret.first + 16 * (k - 1)
      if at < size then
        local n = math.min(16, size - at)
        item:add(f_secret, tvb(at, n)):prepend_text(label .. ": ")
      end
    end
    if secret.first < size and all_zero(tvb, secret.first, size) then
      summary = summary .. " [secrets withheld]"
    end
  end
  item:append_text(": " .. summary)
  pinfo.cols.info = summary
  return size
end

-- The programmer's interface is of the vendor's own class (FF); a capture without its
-- descriptors, as KpNOX Koder's traces are, leaves the class unknown (FFFF). In a capture of
-- other devices too, their bulk transfers of those classes are taken for frames as well.
local bulk = DissectorTable.get("usb.bulk")
bulk:add(0xFF, kpr50)
bulk:add(0xFFFF, kpr50)
