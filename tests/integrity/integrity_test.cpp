// Random images through whole downloads on the simulated board: whatever
// the records look like (S1, S2, S3 or mixed, gaps, any order, any size the
// image buffer takes, any base address), the board's ROM (or RAM) must end
// up holding the image byte for byte, padded with 0xFF to whole blocks.
//
// Seeded: a failure prints the image's seed. Environment:
//   PORTEN_INTEGRITY_COUNT=N     images (default 12, as CI runs it)
//   PORTEN_INTEGRITY_SEED=S      first image's seed (default: random)
//   PORTEN_INTEGRITY_MAX_SIZE=B  largest image (default 24 KB, 307,200
//                                once a count is given)
// Replay one image: PORTEN_INTEGRITY_SEED=<its seed> PORTEN_INTEGRITY_COUNT=1
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "faults/station.h"
#include "sim_board.h"
#include "support/image_writer.h"

namespace porten {
namespace {

using testing::Bytes;
using testing::Padded;
using testing::Station;
using testing::TempDir;

uint64_t EnvNumber(const char* name, uint64_t fallback) {
  const char* v = std::getenv(name);
  if (!v || !*v) return fallback;
  return std::strtoull(v, nullptr, 0);
}

struct Record {
  int type;  // 1, 2 or 3
  uint32_t address;
  Bytes data;
};

std::string Hex(uint64_t value, int digits) {
  char buf[20];
  std::snprintf(buf, sizeof buf, "%0*llX", digits, static_cast<unsigned long long>(value));
  return buf;
}

// Our own writer rather than the shared one: records of mixed types in any
// order, which the shared writer does not make.
std::string Line(int type, uint32_t address, const Bytes& data) {
  const int addressBytes = type + 1;
  unsigned sum = static_cast<unsigned>(addressBytes + data.size() + 1);
  std::string line = "S" + std::to_string(type) + Hex(sum, 2) + Hex(address, addressBytes * 2);
  for (int i = addressBytes - 1; i >= 0; --i) sum += (address >> (8 * i)) & 0xFF;
  for (uint8_t b : data) {
    line += Hex(b, 2);
    sum += b;
  }
  return line + Hex(~sum & 0xFF, 2) + "\r\n";
}

struct Image {
  uint32_t seed = 0;
  uint32_t base = 0;
  Bytes bytes;  // what the target must hold from base on (gaps 0xFF)
  std::string file;
  bool ram = false;
  std::string description;
};

Image MakeImage(uint32_t seed, uint32_t maxSize) {
  std::mt19937 rng(seed);
  auto pick = [&](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
  Image im;
  im.seed = seed;
  im.ram = pick(0, 1) == 1;
  // Sizes spread over the orders of magnitude, the extremes included.
  uint32_t n;
  if (pick(0, 9) == 0) {
    n = pick(0, 1) ? 1 : maxSize;
  } else {
    const uint32_t hi = std::min(maxSize, 1u << pick(0, 19));
    n = pick(std::max(1u, hi / 2), hi);
  }
  const int mode = static_cast<int>(pick(0, 3));  // 0: S1, 1: S2, 2: S3, 3: mixed
  const uint64_t limit = mode == 0 && n <= 0x10000 ? 0x10000 : mode <= 1 && n <= 0x1000000 ? 0x1000000 : 0x100000000ull;
  im.base = static_cast<uint32_t>(std::uniform_int_distribution<uint64_t>(0, limit - n)(rng));
  const bool gaps = pick(0, 1) == 1;
  const bool shuffled = pick(0, 1) == 1;
  const bool header = pick(0, 1) == 1;
  const uint32_t maxPerRecord = pick(0, 2) == 0 ? 250 : 32;

  im.bytes.assign(n, 0xFF);
  std::vector<Record> records;
  for (uint32_t at = 0; at < n;) {
    uint32_t len = std::min(pick(1, maxPerRecord), n - at);
    const uint32_t address = im.base + at;
    const uint64_t end = uint64_t{address} + len - 1;
    int type = mode == 3 ? static_cast<int>(pick(1, 3)) : mode + 1;
    while ((type == 1 && end > 0xFFFF) || (type == 2 && end > 0xFFFFFF)) ++type;
    Record r{type, address, Bytes(len)};
    for (auto& b : r.data) b = static_cast<uint8_t>(rng());
    std::copy(r.data.begin(), r.data.end(), im.bytes.begin() + at);
    records.push_back(std::move(r));
    at += len;
    // A gap, but never past the end: the last byte must be written.
    if (gaps && at < n && pick(0, 3) == 0) at += std::min(pick(1, 700), n - 1 - at);
  }
  if (shuffled) std::shuffle(records.begin(), records.end(), rng);

  if (header) im.file += "S00F000068656C6C6F202020202000003C\r\n";
  for (const Record& r : records) im.file += Line(r.type, r.address, r.data);
  im.file += mode == 0 ? "S9030000FC\r\n" : mode == 1 ? "S804000000FB\r\n" : "S70500000000FA\r\n";

  static const char* kModes[] = {"S1", "S2", "S3", "mixed"};
  im.description = std::string(im.ram ? "RAM transfer" : "normal") + ", " + std::to_string(n) + " bytes at " +
                   Hex(im.base, 8) + ", " + kModes[mode] + ", " + std::to_string(records.size()) + " records" +
                   (gaps ? ", gaps" : "") + (shuffled ? ", out of order" : "") + (header ? ", S0" : "");
  return im;
}

TEST(Integrity, RandomImagesArriveByteForByte) {
  const uint64_t count = EnvNumber("PORTEN_INTEGRITY_COUNT", 12);
  const bool full = std::getenv("PORTEN_INTEGRITY_COUNT") != nullptr;
  const uint32_t maxSize = static_cast<uint32_t>(
      std::clamp<uint64_t>(EnvNumber("PORTEN_INTEGRITY_MAX_SIZE", full ? kImageBufferSize : 24 * 1024), 1,
                           kImageBufferSize));
  const uint32_t seed = static_cast<uint32_t>(EnvNumber("PORTEN_INTEGRITY_SEED", std::random_device{}()));
  std::cout << "integrity: " << count << " images up to " << maxSize << " bytes, seeds " << seed << ".."
            << seed + count - 1 << std::endl;
  RecordProperty("seed", std::to_string(seed));

  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  sim::BoardOptions o;
  o.linkPath = dir.File("ttyBOARD");
  sim::SimBoard board(o);
  ASSERT_TRUE(board.Start()) << board.Error();
  const Bytes loader = testing::Pattern(256, 1);
  ASSERT_TRUE(testing::WriteTextFile(dir.File("LOADER.MOT"), testing::MakeSRecords({{0x00FFE000, loader}}, 2)));

  Station station(dir.path());
  ASSERT_TRUE(station.Open(board.PortPath()));
  ASSERT_EQ("", station.LoadBootLoader("LOADER.MOT"));
  // A first small download starts the loader, so that any image after it
  // may go by RAM transfer (which needs a running loader).
  ASSERT_TRUE(testing::WriteTextFile(dir.File("first.mot"), Line(1, 0x100, {1, 2, 3})));
  ASSERT_EQ("", station.LoadImage(dir.File("first.mot")));
  ASSERT_TRUE(station.Download(60000)) << "still in state " << station.State();
  ASSERT_EQ(text::kWriteDone, station.Status());

  uint64_t bytes = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const Image im = MakeImage(static_cast<uint32_t>(seed + i), maxSize);
    SCOPED_TRACE("image seed " + std::to_string(im.seed) + " (" + im.description + "); replay with " +
                 "PORTEN_INTEGRITY_SEED=" + std::to_string(im.seed) + " PORTEN_INTEGRITY_COUNT=1");
    ASSERT_TRUE(testing::WriteTextFile(dir.File("image.mot"), im.file));
    ASSERT_EQ("", station.LoadImage(dir.File("image.mot")));
    ASSERT_EQ(im.bytes.size(), station.session().Snapshot().slotLength[1]);
    if (station.session().Snapshot().ramTransfer != im.ram) station.session().OnRamTransfer();

    ASSERT_TRUE(station.Download(120000)) << "still in state " << station.State();
    ASSERT_EQ(text::kWriteDone, station.Status());
    const Bytes want = Padded(im.bytes);
    const uint32_t length = static_cast<uint32_t>(want.size());
    const Bytes got = im.ram ? board.RamRange(im.base, length) : board.RomRange(im.base, length);
    ASSERT_EQ(want.size(), got.size());
    const auto diff = std::mismatch(want.begin(), want.end(), got.begin());
    ASSERT_TRUE(diff.first == want.end()) << "first difference at offset " << (diff.first - want.begin())
                                          << ": want " << Hex(*diff.first, 2) << ", got " << Hex(*diff.second, 2);
    ASSERT_TRUE(board.Anomalies().empty()) << board.Anomalies().front();
    bytes += im.bytes.size();
  }
  std::cout << "integrity: " << count << " images, " << bytes << " bytes written and compared" << std::endl;
}

}  // namespace
}  // namespace porten
