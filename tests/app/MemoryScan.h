// Looks for a secret in every writable mapping of this process, through /proc/self/maps and
// /proc/self/mem. The needle and the read buffer live in a mapping of their own, which the
// scan skips, so the scan itself adds no copy it would then find.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace kp::test {

struct Finding {
  uintptr_t address = 0;
  std::string mapping;  // the maps line's path column: [heap], [stack], a library...
};

struct Range {
  uintptr_t begin = 0;
  uintptr_t end = 0;
};

class MemoryScan {
 public:
  static constexpr size_t kChunk = 1 << 20;
  static constexpr size_t kNeedleArea = 4096;

  MemoryScan() {
    area_ = static_cast<uint8_t*>(mmap(nullptr, kNeedleArea + kChunk, PROT_READ | PROT_WRITE,
                                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (area_ == MAP_FAILED) area_ = nullptr;
  }
  ~MemoryScan() {
    if (area_ != nullptr) {
      std::memset(area_, 0, kNeedleArea + kChunk);
      munmap(area_, kNeedleArea + kChunk);
    }
  }
  MemoryScan(const MemoryScan&) = delete;
  MemoryScan& operator=(const MemoryScan&) = delete;

  bool Ready() const { return area_ != nullptr; }

  // Where the needles are put: slot i holds 64 bytes.
  uint8_t* Slot(size_t i) { return area_ + 64 * i; }

  // Every place outside `excluded` (and outside the scan's own mapping) where the `size`
  // bytes at `needle` occur.
  std::vector<Finding> Find(const uint8_t* needle, size_t size,
                            const std::vector<Range>& excluded = {}) {
    std::vector<Finding> found;
    const int mem = open("/proc/self/mem", O_RDONLY);
    if (mem < 0) return found;
    std::ifstream maps("/proc/self/maps");
    std::string line;
    uint8_t* chunk = area_ + kNeedleArea;
    const auto own = reinterpret_cast<uintptr_t>(area_);
    while (std::getline(maps, line)) {
      std::istringstream fields(line);
      std::string span, perms, offset, device, inode, path;
      fields >> span >> perms >> offset >> device >> inode;
      std::getline(fields >> std::ws, path);
      if (perms.size() < 2 || perms[0] != 'r' || perms[1] != 'w') continue;
      const size_t dash = span.find('-');
      const uintptr_t begin = std::stoull(span.substr(0, dash), nullptr, 16);
      const uintptr_t end = std::stoull(span.substr(dash + 1), nullptr, 16);
      if (begin == own || path == "[vvar]" || path == "[vsyscall]") continue;
      // Chunks overlap by size - 1 bytes so that no occurrence straddles unseen.
      for (uintptr_t at = begin; at < end;) {
        const size_t want = static_cast<size_t>(std::min<uintptr_t>(kChunk, end - at));
        const ssize_t got = pread(mem, chunk, want, static_cast<off_t>(at));
        if (got <= 0) break;
        const auto n = static_cast<size_t>(got);
        for (size_t i = 0; n >= size && i <= n - size; ++i) {
          if (chunk[i] == needle[0] && std::memcmp(chunk + i, needle, size) == 0) {
            const uintptr_t where = at + i;
            if (!Excluded(where, size, excluded)) found.push_back({where, path});
          }
        }
        if (at + n >= end || n < size) break;
        at += n - (size - 1);
      }
    }
    std::memset(chunk, 0, kChunk);
    close(mem);
    return found;
  }

 private:
  static bool Excluded(uintptr_t where, size_t size, const std::vector<Range>& excluded) {
    for (const Range& r : excluded) {
      if (where >= r.begin && where + size <= r.end) return true;
    }
    return false;
  }

  uint8_t* area_ = nullptr;
};

}  // namespace kp::test
