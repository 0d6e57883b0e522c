// Random images through whole downloads on the simulated board: whatever
// their size (1 to 307,200 bytes), base address, gaps and file format, by
// boot upload or RAM transfer, the board's memory must end up holding the
// image byte for byte, padded with 0xFF to whole blocks.
//
// Seeded; a failure prints the image's seed. Environment:
//   PORTEN_INTEGRITY_COUNT=N     images (default 12, as CI runs it)
//   PORTEN_INTEGRITY_SEED=S      first image's seed (default: random)
//   PORTEN_INTEGRITY_MAX_SIZE=B  largest image (default 24 KB, 307,200 once
//                                a count is given)
#include <cstdlib>
#include <random>

#include "e2e/e2e.h"

namespace porten {
namespace {

using namespace testing;

uint32_t EnvNumber(const char* name, uint32_t fallback) {
  const char* v = std::getenv(name);
  return v && *v ? static_cast<uint32_t>(std::strtoul(v, nullptr, 0)) : fallback;
}

TEST_F(Bench, RandomImagesArriveByteForByte) {
  const uint32_t count = EnvNumber("PORTEN_INTEGRITY_COUNT", 12);
  const uint32_t maxSize = EnvNumber("PORTEN_INTEGRITY_MAX_SIZE",
                                     std::getenv("PORTEN_INTEGRITY_COUNT") ? kImageBufferSize : 24576);
  const uint32_t first = EnvNumber("PORTEN_INTEGRITY_SEED", std::random_device{}());
  std::printf("integrity: %u images from seed %u\n", count, first);
  for (uint32_t seed = first; seed != first + count; ++seed) {
    std::mt19937 rng(seed);
    auto pick = [&](uint32_t lo, uint32_t hi) {
      return std::uniform_int_distribution<uint32_t>(lo, hi)(rng);
    };
    // Sizes spread over the orders of magnitude, the extremes included.
    const uint32_t n = pick(0, 9) == 0 ? (pick(0, 1) ? 1 : maxSize)
                                       : pick(1, std::min(maxSize, 1u << pick(0, 19)));
    // Whole blocks from the base still fit below the top of the address space.
    const uint32_t base = pick(0, 0xFFFFFFFFu - n - kBlockSize);
    const bool ram = pick(0, 1);
    Bytes image(n, 0xFF);
    std::vector<Segment> segments;
    for (uint32_t at = 0; at < n;) {
      const uint32_t len = std::min(pick(1, 4096), n - at);
      segments.push_back({base + at, RandomBytes(len, seed + at)});
      std::copy(segments.back().bytes.begin(), segments.back().bytes.end(), image.begin() + at);
      at += len;
      if (at < n && pick(0, 2) == 0) at += std::min(pick(1, 700), n - 1 - at);  // a gap
    }
    std::shuffle(segments.begin(), segments.end(), rng);
    const int format = static_cast<int>(seed % 3);  // S-records, Intel HEX, ELF
    SCOPED_TRACE("seed " + std::to_string(seed) + ": " + std::to_string(n) + " bytes at " +
                 std::to_string(base) + (ram ? ", RAM transfer" : "") + ", format " +
                 std::to_string(format));
    ASSERT_TRUE(WriteTextFile(dir_.File("random.img"),
                              format == 0   ? MakeSRecords(segments, 3)
                              : format == 1 ? MakeIntelHex(segments)
                                            : MakeElf(segments)));
    sim::BoardOptions o;
    o.startInLoader = ram;
    boards_.clear();
    StartBoard(o);
    const Cli r = ram ? RunCli({"--port", "$BOARD", "--ram", "$random.img"}) : WriteImage("$random.img");
    ASSERT_EQ(0, r.status) << r.out << r.err;
    const Bytes padded = Padded(image);
    const auto size = static_cast<uint32_t>(padded.size());
    EXPECT_EQ(padded, ram ? board().RamRange(base, size) : board().RomRange(base, size));
  }
}

}  // namespace
}  // namespace porten
