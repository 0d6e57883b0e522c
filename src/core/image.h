// A loaded program image and the limits every image obeys.
#pragma once

#include <cstdint>
#include <vector>

namespace porten {

// The span one image may cover: 300 x 1024 bytes from its lowest address.
inline constexpr uint32_t kImageBufferSize = 307200;
// The most the chip's boot mode takes as a boot loader.
inline constexpr uint32_t kBootImageSize = 32768;

// The bytes of a file from its lowest address on; bytes no record sets are
// 0xFF. bytes.size() is the span, gaps included.
struct Image {
  uint32_t base = 0;
  std::vector<uint8_t> bytes;
};

}  // namespace porten
