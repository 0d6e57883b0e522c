// Writes with serial numbers against simulated boards, for the SQLite and
// the PostgreSQL end-to-end tests alike: porten-cli in processes of its own,
// as the stations of a line run it, and the record store read back.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>

#include "e2e/e2e.h"
#include "image/digest.h"
#include "records/serial_format.h"
#include "records/store.h"

extern char** environ;

namespace porten::testing {

class SerialBench : public Bench {
 protected:
  static constexpr uint32_t kSerialAt = kImageBase + 0x10;

  // porten-cli with args (after the program name), output appended to a file.
  pid_t Spawn(std::vector<std::string> args) {
    args.insert(args.begin(), PORTEN_CLI_PATH);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string output = dir_.File("cli.out");
    posix_spawn_file_actions_t io;
    posix_spawn_file_actions_init(&io);
    posix_spawn_file_actions_addopen(&io, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&io, 1, 2);
    pid_t child = -1;
    EXPECT_EQ(0, posix_spawn(&child, argv[0], &io, nullptr, argv.data(), environ));
    posix_spawn_file_actions_destroy(&io);
    return child;
  }
  // The exit status, or 128 + the signal.
  static int Wait(pid_t child) {
    int status = 0;
    if (::waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

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

  std::string Output() {
    std::ifstream in(dir_.File("cli.out"));
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
};

}  // namespace porten::testing
