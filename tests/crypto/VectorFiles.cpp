#include "VectorFiles.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kp::test {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  throw std::invalid_argument(std::string("not a hex digit: ") + c);
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

// The value of the next "name": after `pos` (a string without escapes, or a number), and
// `pos` moved past it. Enough for the flat test records of Wycheproof files.
std::string NextValue(const std::string& json, const std::string& name, size_t& pos) {
  pos = json.find('"' + name + '"', pos);
  if (pos == std::string::npos) throw std::runtime_error("no \"" + name + "\" left");
  size_t start = json.find_first_not_of(" \t\r\n:", pos + name.size() + 2);
  const bool quoted = json[start] == '"';
  if (quoted) ++start;
  pos = quoted ? json.find('"', start) : json.find_first_of(",}\r\n ", start);
  return json.substr(start, pos - start);
}

}  // namespace

Bytes FromHex(std::string_view hex) {
  if (hex.size() % 2 != 0) throw std::invalid_argument("odd number of hex digits");
  Bytes out(hex.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<uint8_t>(HexDigit(hex[2 * i]) * 16 + HexDigit(hex[2 * i + 1]));
  }
  return out;
}

std::string ToHex(const uint8_t* data, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < size; ++i) {
    s += digits[data[i] >> 4];
    s += digits[data[i] & 15];
  }
  return s;
}

std::string ReadVectorFile(const std::string& name, const std::string& folder) {
  const std::string path = folder + "/" + name;
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("vector file " + path + " cannot be read");
  std::ostringstream text;
  text << in.rdbuf();
  if (text.str().empty()) throw std::runtime_error("vector file " + path + " is empty");
  return text.str();
}

std::vector<CavpHashVector> ParseCavpHashFile(const std::string& text) {
  std::vector<CavpHashVector> vectors;
  CavpHashVector current;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const std::string_view l = Trim(line);
    const size_t eq = l.find('=');
    if (l.empty() || l.front() == '#' || l.front() == '[' || eq == std::string_view::npos) continue;
    const std::string_view key = Trim(l.substr(0, eq));
    const std::string_view value = Trim(l.substr(eq + 1));
    if (key == "Len") {
      current = CavpHashVector{};
      current.bits = std::stoul(std::string(value));
    } else if (key == "Msg") {
      current.message = FromHex(value);
      current.message.resize(current.bits / 8);  // Len = 0 carries the placeholder byte 00
    } else if (key == "MD") {
      current.digest = FromHex(value);
      vectors.push_back(current);
    }
  }
  return vectors;
}

std::vector<WycheproofMacVector> ParseWycheproofMacFile(const std::string& json) {
  std::vector<WycheproofMacVector> vectors;
  size_t pos = 0;
  while (json.find("\"tcId\"", pos) != std::string::npos) {
    WycheproofMacVector v;
    v.id = std::stoi(NextValue(json, "tcId", pos));
    // The sizes belong to the enclosing group, written before its tests.
    size_t groupPos = json.rfind("\"keySize\"", pos);
    v.keyBits = std::stoi(NextValue(json, "keySize", groupPos));
    v.tagBits = std::stoi(NextValue(json, "tagSize", groupPos));
    v.key = FromHex(NextValue(json, "key", pos));
    v.message = FromHex(NextValue(json, "msg", pos));
    v.tag = FromHex(NextValue(json, "tag", pos));
    v.valid = NextValue(json, "result", pos) == "valid";
    vectors.push_back(v);
  }
  return vectors;
}

}  // namespace kp::test
