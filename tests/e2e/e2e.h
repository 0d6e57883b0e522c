// The end-to-end rig: simulated boards on real ptys, and porten-cli write run
// in this process against them.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "cli/commands.h"
#include "core/download_state.h"
#include "core/image.h"
#include "core/texts.h"
#include "sim_board.h"
#include "support/image_writer.h"

extern char** environ;

namespace porten::testing {

using Bytes = std::vector<uint8_t>;

// What the board's memory holds after a write: whole 128-byte blocks.
inline Bytes Padded(Bytes b) {
  b.resize((b.size() + 127) / 128 * 128, 0xFF);
  return b;
}

// A directory with a boot loader and two images, and boards.
class Bench : public ::testing::Test {
 public:
  static constexpr uint32_t kLoaderBase = 0x00FFE000, kImageBase = 0x00002000;
  static constexpr size_t kLoaderSize = 200, kImageSize = 1000;  // eight blocks, the last padded
  static constexpr int kBlocks = 8;

 protected:
  void SetUp() override {
    ASSERT_TRUE(WriteTextFile(dir_.File("LOADER.MOT"), MakeSRecords({{kLoaderBase, loader_}}, 2)));
    ASSERT_TRUE(WriteTextFile(dir_.File("image.mot"), MakeSRecords({{kImageBase, image_}}, 3)));
    ASSERT_TRUE(WriteTextFile(dir_.File("next.mot"), MakeSRecords({{kImageBase, next_}}, 1)));
  }
  void StartBoard(sim::BoardOptions o = {}, const std::string& link = "ttyBOARD") {
    o.linkPath = dir_.File(link);
    boards_.push_back(std::make_unique<sim::SimBoard>(o));
    ASSERT_TRUE(boards_.back()->Start()) << boards_.back()->Error();
  }
  sim::SimBoard& board() { return *boards_.back(); }
  Bytes Rom() { return board().RomRange(kImageBase, kBlocks * 128); }

  struct Cli { int status = -1; std::string out, err; };  // out: its last line
  // porten-cli write in this process; "$" in an argument is the directory,
  // "$BOARD" the last board.
  Cli RunCli(std::vector<std::string> args) {
    for (auto& a : args) {
      if (a == "$BOARD") {
        a = board().PortPath();
      } else if (!a.empty() && a[0] == '$') {
        a = dir_.File(a.substr(1));
      }
    }
    args.insert(args.begin(), {"porten-cli", "write", "-q"});
    std::ostringstream out, err;
    Cli r;
    r.status = cli::Dispatch(args, out, err);
    r.out = out.str();
    while (!r.out.empty() && r.out.back() == '\n') r.out.pop_back();
    r.out = r.out.substr(r.out.rfind('\n') == std::string::npos ? 0 : r.out.rfind('\n') + 1);
    r.err = err.str();
    return r;
  }
  Cli WriteImage(const std::string& image, const std::string& timeout = "10") {
    return RunCli({"--port", "$BOARD", "--boot", "$LOADER.MOT", "--timeout", timeout, image});
  }

  // porten-cli with args (after the program name) in a process of its own,
  // its output appended to a file; and the exit status, or 128 + the signal.
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
  static int Wait(pid_t child) {
    int status = 0;
    if (::waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  std::string Output() {
    std::ifstream in(dir_.File("cli.out"));
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  TempDir dir_;
  Bytes loader_ = RandomBytes(kLoaderSize, 3), image_ = RandomBytes(kImageSize, 5),
        next_ = RandomBytes(kImageSize, 77);
  std::vector<std::unique_ptr<sim::SimBoard>> boards_;
};

}  // namespace porten::testing
