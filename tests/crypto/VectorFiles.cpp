#include "VectorFiles.h"

#include <cctype>
#include <fstream>
#include <map>
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
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// A flat walk over the JSON text: every "name": value pair whose value is a string or a
// number, with the nesting depth of the object that holds it. Enough for Wycheproof files.
class JsonPairs {
 public:
  explicit JsonPairs(const std::string& text) : text_(text) {}

  // Next pair or object end; false at the end of the text.
  bool Next(std::string& name, std::string& value, bool& objectEnd) {
    objectEnd = false;
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == '}') {
        ++pos_;
        objectEnd = true;
        return true;
      }
      if (c != '"') {
        ++pos_;
        continue;
      }
      std::string token = ReadString();
      SkipSpace();
      if (pos_ >= text_.size() || text_[pos_] != ':') continue;  // a string inside an array
      ++pos_;
      SkipSpace();
      name = token;
      if (pos_ < text_.size() && text_[pos_] == '"') {
        value = ReadString();
        return true;
      }
      value.clear();
      while (pos_ < text_.size() && (std::isdigit(static_cast<unsigned char>(text_[pos_])) ||
                                     text_[pos_] == '-')) {
        value += text_[pos_++];
      }
      if (!value.empty()) return true;
    }
    return false;
  }

 private:
  std::string ReadString() {
    std::string s;
    ++pos_;  // opening quote
    while (pos_ < text_.size() && text_[pos_] != '"') {
      if (text_[pos_] == '\\' && pos_ + 1 < text_.size()) ++pos_;
      s += text_[pos_++];
    }
    ++pos_;  // closing quote
    return s;
  }

  void SkipSpace() {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
  }

  const std::string& text_;
  size_t pos_ = 0;
};

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

std::string ReadVectorFile(const std::string& name) {
  std::ifstream in(std::string(KP_VECTORS_DIR) + "/" + name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
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
  JsonPairs pairs(json);
  std::map<std::string, std::string> test;
  int keyBits = 0;
  int tagBits = 0;
  std::string name, value;
  bool objectEnd = false;
  while (pairs.Next(name, value, objectEnd)) {
    if (!objectEnd) {
      if (name == "keySize") keyBits = std::stoi(value);
      else if (name == "tagSize") tagBits = std::stoi(value);
      else test[name] = value;
      continue;
    }
    if (test.count("tcId") != 0) {
      WycheproofMacVector v;
      v.id = std::stoi(test["tcId"]);
      v.keyBits = keyBits;
      v.tagBits = tagBits;
      v.key = FromHex(test["key"]);
      v.message = FromHex(test["msg"]);
      v.tag = FromHex(test["tag"]);
      v.valid = test["result"] == "valid";
      vectors.push_back(v);
    }
    test.clear();
  }
  return vectors;
}

}  // namespace kp::test
