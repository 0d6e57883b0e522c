#include "sim/sparse_memory.h"

#include <algorithm>

namespace porten::sim {

void SparseMemory::Write(uint32_t address, const uint8_t* data, size_t count) {
  uint64_t start = address;
  uint64_t end = std::min<uint64_t>(start + count, uint64_t{1} << 32);  // no wrap past 4 GiB
  for (uint64_t a = start; a < end;) {
    uint64_t base = a & ~(kPage - 1);
    auto [it, fresh] = pages_.try_emplace(base);
    if (fresh) it->second.fill(0xFF);
    uint64_t n = std::min(end, base + kPage) - a;
    std::copy_n(data + (a - start), n, it->second.begin() + static_cast<std::ptrdiff_t>(a - base));
    a += n;
  }
  if (start == end) return;
  // Merge [start, end) into the written ranges.
  auto it = written_.upper_bound(start);
  if (it != written_.begin() && std::prev(it)->second >= start) {
    --it;
    start = it->first;
  }
  while (it != written_.end() && it->first <= end) {
    end = std::max(end, it->second);
    it = written_.erase(it);
  }
  written_[start] = end;
}

uint8_t SparseMemory::At(uint32_t address) const {
  auto it = pages_.find(address & ~(kPage - 1));
  return it == pages_.end() ? 0xFF : it->second[address & (kPage - 1)];
}

std::vector<uint8_t> SparseMemory::Range(uint32_t address, uint32_t length) const {
  std::vector<uint8_t> out(length);
  for (uint32_t i = 0; i < length; ++i) out[i] = At(address + i);
  return out;
}

std::vector<std::pair<uint32_t, uint32_t>> SparseMemory::WrittenRanges() const {
  std::vector<std::pair<uint32_t, uint32_t>> out;
  for (const auto& [start, end] : written_) {
    out.emplace_back(static_cast<uint32_t>(start), static_cast<uint32_t>(end - 1));
  }
  return out;
}

size_t SparseMemory::WrittenBytes() const {
  size_t n = 0;
  for (const auto& [start, end] : written_) n += end - start;
  return n;
}

}  // namespace porten::sim
