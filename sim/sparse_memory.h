// The board's ROM and RAM: a sparse 32-bit address space, 0xFF where
// nothing was written, that remembers which ranges were written.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace porten::sim {

class SparseMemory {
 public:
  void Write(uint32_t address, const uint8_t* data, size_t count);
  uint8_t At(uint32_t address) const;
  std::vector<uint8_t> Range(uint32_t address, uint32_t length) const;
  // Written ranges, merged, as [first, last] address pairs in order.
  std::vector<std::pair<uint32_t, uint32_t>> WrittenRanges() const;
  size_t WrittenBytes() const;

 private:
  static constexpr uint64_t kPage = 4096;
  std::map<uint64_t, std::array<uint8_t, kPage>> pages_;  // by page base
  std::map<uint64_t, uint64_t> written_;                   // start -> end (exclusive), merged
};

}  // namespace porten::sim
