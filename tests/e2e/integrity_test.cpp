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

uint64_t EnvNumber(const char* name, uint64_t fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtoull(v, nullptr, 0) : fallback;
}

struct RandomImage {
  uint32_t base = 0;
  Bytes bytes;  // from base on, gaps 0xFF
  std::vector<Segment> segments;
  bool ram = false;
};

RandomImage MakeImage(uint32_t seed, uint32_t maxSize) {
  std::mt19937 rng(seed);
  auto pick = [&](uint32_t lo, uint32_t hi) {
    return std::uniform_int_distribution<uint32_t>(lo, hi)(rng);
  };
  RandomImage im;
  im.ram = pick(0, 1) == 1;
  // Sizes spread over the orders of magnitude, the extremes included.
  uint32_t n = pick(0, 9) == 0 ? (pick(0, 1) ? 1 : maxSize)
                               : pick(1, std::min(maxSize, 1u << pick(0, 19)));
  // Whole blocks from the base must still fit below the top of the address space.
  im.base = static_cast<uint32_t>(
      std::uniform_int_distribution<uint64_t>(0, 0x100000000ull - n - kBlockSize)(rng));
  im.bytes.assign(n, 0xFF);
  for (uint32_t at = 0; at < n;) {
    const uint32_t len = std::min(pick(1, 4096), n - at);
    Segment s{im.base + at, Bytes(len)};
    for (auto& b : s.bytes) b = static_cast<uint8_t>(rng());
    std::copy(s.bytes.begin(), s.bytes.end(), im.bytes.begin() + at);
    im.segments.push_back(std::move(s));
    at += len;
    // A gap, but never past the end: the last byte must be written.
    if (at < n && pick(0, 2) == 0) at += std::min(pick(1, 700), n - 1 - at);
  }
  std::shuffle(im.segments.begin(), im.segments.end(), rng);
  return im;
}

TEST_F(Bench, RandomImagesArriveByteForByte) {
  const uint64_t count = EnvNumber("PORTEN_INTEGRITY_COUNT", 12);
  const uint32_t maxSize = static_cast<uint32_t>(EnvNumber(
      "PORTEN_INTEGRITY_MAX_SIZE", std::getenv("PORTEN_INTEGRITY_COUNT") ? kImageBufferSize : 24576));
  const uint32_t first =
      static_cast<uint32_t>(EnvNumber("PORTEN_INTEGRITY_SEED", std::random_device{}()));
  std::printf("integrity: %llu images from seed %u\n", static_cast<unsigned long long>(count),
              first);
  for (uint64_t i = 0; i < count; ++i) {
    const uint32_t seed = first + static_cast<uint32_t>(i);
    const RandomImage im = MakeImage(seed, maxSize);
    // S-records, Intel HEX or ELF, in turn.
    const int format = static_cast<int>(seed % 3);
    SCOPED_TRACE("seed " + std::to_string(seed) + ", " + std::to_string(im.bytes.size()) +
                 " bytes, " + (im.ram ? "RAM transfer" : "boot") + ", format " +
                 std::to_string(format));
    const std::string file = dir_.File("random.img");
    ASSERT_TRUE(WriteTextFile(file, format == 0   ? MakeSRecords(im.segments, 3)
                                    : format == 1 ? MakeIntelHex(im.segments)
                                                  : MakeElf(im.segments)));
    sim::BoardOptions o;
    o.startInLoader = im.ram;
    boards_.clear();
    station_.reset();
    StartBoard(o);
    station_ = std::make_unique<Station>(dir_.path());
    ASSERT_TRUE(station_->Open(board().PortPath()));
    if (im.ram) {
      station_->session().OnRamTransfer();
    } else {
      ASSERT_EQ("", station_->Load(true, "LOADER.MOT"));
    }
    ASSERT_EQ("", station_->Load(false, file));
    ASSERT_EQ(Outcome::kWritten, station_->Download()) << station_->Text(Surface::kStatus);
    const Bytes padded = Padded(im.bytes);
    const uint32_t length = static_cast<uint32_t>(padded.size());
    EXPECT_EQ(padded, im.ram ? board().RamRange(im.base, length) : board().RomRange(im.base, length));
  }
}

}  // namespace
}  // namespace porten
