// Writes with serial numbers against simulated boards, for the SQLite and
// the PostgreSQL end-to-end tests alike: porten-cli in processes of its own,
// as the stations of a line run it, and the record store read back.
#pragma once

#include <map>
#include <set>

#include "e2e/e2e.h"
#include "image/digest.h"
#include "records/serial_format.h"
#include "records/store.h"

namespace porten::testing {

class SerialBench : public Bench {
 protected:
  static constexpr uint32_t kSerialAt = kImageBase + 0x10;

  std::vector<std::string> SerialWrite(const std::string& where, const std::vector<std::string>& ports) {
    std::vector<std::string> args = {"write", "-q", "--boot", dir_.File("LOADER.MOT"), dir_.File("image.mot"),
                                     "--serial-at", "0x2010", "--serial-format", "u32be", "--records", where};
    for (const auto& p : ports) args.insert(args.end(), {"--port", p});
    return args;
  }

  // The image as a board with this number must receive it, and its ROM.
  Bytes Sent(uint64_t serial) {
    const auto bytes = *records::EncodeSerial(serial, *records::ParseSerialFormat("u32be"));
    return records::PatchedImage(image_, kImageBase, kSerialAt, bytes);
  }

  // Four processes write 25 boards each, at once, against one store: 100
  // numbers, none twice, none skipped but for failed attempts, and every
  // board holds the number of its row.
  void FourWritersOfTwentyFive(const std::string& where) {
    constexpr int kWriters = 4, kEach = 25;
    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w) {
      std::vector<std::string> ports;
      for (int b = 0; b < kEach; ++b) {
        const std::string link = "tty" + std::to_string(w) + "_" + std::to_string(b);
        StartBoard({}, link);
        ports.push_back(dir_.File(link));
      }
      writers.push_back(Spawn(SerialWrite(where, ports)));
    }
    for (pid_t w : writers) EXPECT_EQ(0, Wait(w)) << Output();

    const auto store = records::OpenStore(where, false);
    const auto rows = store->Rows({}, records::Writer::Self());
    ASSERT_EQ(size_t{kWriters * kEach}, rows.size());
    std::set<uint64_t> serials;
    std::map<std::string, const records::Row*> byPort;
    for (const auto& r : rows) {
      ASSERT_TRUE(r.serial);
      serials.insert(*r.serial);
      byPort[r.port] = &r;
      EXPECT_EQ(records::Outcome::kWritten, r.outcome) << r.port << ": " << r.result.value_or("");
    }
    EXPECT_EQ(rows.size(), serials.size());  // distinct
    EXPECT_EQ(1u, *serials.begin());
    EXPECT_EQ(rows.size(), *serials.rbegin());  // contiguous: every one written
    for (const auto& b : boards_) {
      const records::Row& r = *byPort.at(b->PortPath());
      EXPECT_EQ(Padded(Sent(*r.serial)), b->RomRange(kImageBase, kBlocks * 128)) << r.port;
      EXPECT_EQ(Sha256Hex(Sent(*r.serial)), r.sentSha256);
    }
  }
};

}  // namespace porten::testing
