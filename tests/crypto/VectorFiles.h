// Readers for the public test-vector files: NIST CAVP hash responses and Wycheproof MAC tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kp::test {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(std::string_view hex);
std::string ToHex(const uint8_t* data, size_t size);
inline std::string ToHex(const Bytes& b) { return ToHex(b.data(), b.size()); }

// The whole file `name` from `folder` (the repository's vectors folder when left out). A file
// that is missing, unreadable or empty throws, naming the file: no vectors is never a pass.
std::string ReadVectorFile(const std::string& name, const std::string& folder = KP_VECTORS_DIR);

// A CAVP hash response record: `Len` (bits), `Msg`, `MD`. `Len = 0` is the empty message.
struct CavpHashVector {
  size_t bits = 0;
  Bytes message;
  Bytes digest;
};
std::vector<CavpHashVector> ParseCavpHashFile(const std::string& text);

// One Wycheproof MacTest with the sizes of its group.
struct WycheproofMacVector {
  int id = 0;
  int keyBits = 0;
  int tagBits = 0;
  Bytes key;
  Bytes message;
  Bytes tag;
  bool valid = false;
};
std::vector<WycheproofMacVector> ParseWycheproofMacFile(const std::string& json);

}  // namespace kp::test
