// How fast S-record files load: a full 307,200-byte image in S3 records of
// 16 and 32 bytes with CR LF line ends.
//
//   BM_ParseRecords  the parse path alone: address, record and copy into the
//                    image, from text in memory
//   BM_LoadBatches   StartLoad and back-to-back LoadBatch calls: the file
//                    window and the prescan as well, but no timer waits
//   BM_BatchedLoad   the load as the command line runs it, timers and all
//                    (the first batch waits 100 ms by design)
//   BM_SrecCat       srec_cat converting the same file to binary (process
//                    start included), when it is installed
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "cli/console_loop.h"
#include "srec/load.h"
#include "srec/srec.h"

extern char** environ;

namespace {

using namespace porten;

std::string g_text;  // the file's contents
std::string g_path;  // the file
size_t g_records = 0;

std::string Hex2(unsigned v) {
  static const char digits[] = "0123456789ABCDEF";
  return {digits[(v >> 4) & 15], digits[v & 15]};
}

std::string S3(uint32_t address, const uint8_t* data, size_t n) {
  unsigned count = static_cast<unsigned>(4 + n + 1);
  unsigned sum = count;
  std::string line = "S3" + Hex2(count);
  for (int shift = 24; shift >= 0; shift -= 8) {
    sum += (address >> shift) & 0xFF;
    line += Hex2(address >> shift);
  }
  for (size_t i = 0; i < n; ++i) {
    sum += data[i];
    line += Hex2(data[i]);
  }
  return line + Hex2(~sum) + "\r\n";
}

void MakeFile() {
  std::vector<uint8_t> image(kImageBufferSize);
  uint32_t x = 12345;
  for (auto& b : image) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 16);
  g_text = "S00F000068656C6C6F202020202000003C\r\n";
  size_t at = 0;
  for (bool small = true; at < image.size(); small = !small) {
    size_t n = std::min<size_t>(small ? 16 : 32, image.size() - at);
    g_text += S3(static_cast<uint32_t>(at), image.data() + at, n);
    at += n;
    ++g_records;
  }
  g_text += "S70500000000FA\r\n";
  g_path = (std::filesystem::temp_directory_path() / "porten-bench-load.mot").string();
  std::ofstream(g_path, std::ios::binary) << g_text;
}

void BM_ParseRecords(benchmark::State& state) {
  std::vector<uint8_t> image(kImageBufferSize, 0xFF);
  uint8_t scratch[256];
  for (auto _ : state) {
    const char* p = g_text.c_str();
    const char* end = p + g_text.size();
    size_t records = 0;
    while (p < end) {
      int P = p[0] == 'S' ? RecordPrefixLength(p[1]) : 0;
      if (P != 0) {
        uint32_t address = 0;
        if (!ReadRecordAddress(p, P, &address)) state.SkipWithError("address");
        int32_t n = ParseDataRecord(p + 2, P, address, scratch);
        if (n <= 0 || address + static_cast<uint32_t>(n) > kImageBufferSize) {
          state.SkipWithError("record");
          break;
        }
        std::memcpy(image.data() + address, scratch, static_cast<size_t>(n));
        ++records;
      }
      const char* cr = static_cast<const char*>(std::memchr(p, '\r', static_cast<size_t>(end - p)));
      if (!cr) break;
      p = cr + 2;
    }
    benchmark::DoNotOptimize(image.data());
    if (records != g_records) state.SkipWithError("record count");
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * g_records));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_text.size()));
}
BENCHMARK(BM_ParseRecords)->Unit(benchmark::kMillisecond);

class NullWindow final : public WindowSystem {
 public:
  void SetText(Surface, const std::string&) override {}
  void ShowMessage(const std::string& text, const std::string&) override { failed = text; }
  void SetTimer(int, int) override {}
  void KillTimer(int) override {}
  std::string failed;
};

void BM_LoadBatches(benchmark::State& state) {
  std::vector<uint8_t> image(kImageBufferSize);
  for (auto _ : state) {
    DownloadState st;
    LinkVars link;
    NullWindow win;
    st.m_pImage = image.data();
    st.m_strFilePath = g_path;
    st.m_nTarget = 1;
    StartLoad(st, link, win);
    while (!st.m_bReady) LoadBatch(st, link, win);
    if (!win.failed.empty() || st.m_nSlotLength[1] != kImageBufferSize) state.SkipWithError("load failed");
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * g_records));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_text.size()));
}
BENCHMARK(BM_LoadBatches)->Unit(benchmark::kMillisecond);

void BM_BatchedLoad(benchmark::State& state) {
  std::vector<uint8_t> image(kImageBufferSize);
  for (auto _ : state) {
    DownloadState st;
    LinkVars link;
    cli::ConsoleLoop loop;
    struct Tick : TimerTarget {
      DownloadState* st;
      LinkVars* link;
      WindowSystem* win;
      void OnTimer(int id) override {
        if (id == TIMER_LOAD) LoadBatch(*st, *link, *win);
      }
    } tick;
    tick.st = &st;
    tick.link = &link;
    tick.win = &loop;
    loop.Bind(&tick);
    st.m_pImage = image.data();
    st.m_strFilePath = g_path;
    st.m_nTarget = 1;
    StartLoad(st, link, loop);
    loop.Run([&] { return st.m_bReady != 0; });
    if (!loop.Messages().empty() || st.m_nSlotLength[1] != kImageBufferSize) state.SkipWithError("load failed");
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * g_records));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_text.size()));
}
BENCHMARK(BM_BatchedLoad)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

bool HaveSrecCat() { return std::system("command -v srec_cat >/dev/null 2>&1") == 0; }

void BM_SrecCat(benchmark::State& state) {
  std::string out = g_path + ".bin";
  std::vector<std::string> args = {"srec_cat", g_path, "-o", out, "-binary"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto _ : state) {
    pid_t pid;
    if (posix_spawnp(&pid, "srec_cat", nullptr, nullptr, argv.data(), environ) != 0) {
      state.SkipWithError("srec_cat would not start");
      break;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("srec_cat failed");
  }
  std::remove(out.c_str());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * g_records));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_text.size()));
}

// Keeps the console output and remembers the seconds per iteration of each
// benchmark for the comparison at the end.
class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) continue;
      std::string name = run.benchmark_name();
      name = name.substr(0, name.find('/'));
      seconds[name] = run.real_accumulated_time / static_cast<double>(run.iterations);
    }
  }
  std::map<std::string, double> seconds;
};

}  // namespace

int main(int argc, char** argv) {
  MakeFile();
  bool srecCat = HaveSrecCat();
  if (srecCat) BENCHMARK(BM_SrecCat)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  std::printf("file: %zu records, %zu bytes of S-record text, %u bytes of image\n", g_records,
              g_text.size(), kImageBufferSize);
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();

  auto& s = collector.seconds;
  auto mb = [](double secs) { return static_cast<double>(g_text.size()) / secs / 1e6; };
  if (s.count("BM_ParseRecords")) {
    std::printf("\nparse path: %.0f records/s, %.1f MB/s of S-record text\n",
                static_cast<double>(g_records) / s["BM_ParseRecords"], mb(s["BM_ParseRecords"]));
  }
  if (s.count("BM_LoadBatches")) {
    std::printf("loader without timer waits: %.2f ms, %.1f MB/s\n", s["BM_LoadBatches"] * 1e3,
                mb(s["BM_LoadBatches"]));
  }
  if (s.count("BM_BatchedLoad")) {
    std::printf("batched load on the console loop: %.1f ms wall (%zu batches; the first waits 100 ms)\n",
                s["BM_BatchedLoad"] * 1e3, (g_records + kRecordsPerBatch - 1) / kRecordsPerBatch);
  }
  if (!srecCat) {
    std::printf("srec_cat is not installed (Debian package srecord): no comparison\n");
  } else if (s.count("BM_SrecCat") && s.count("BM_ParseRecords") && s.count("BM_LoadBatches")) {
    double parseRatio = s["BM_SrecCat"] / s["BM_ParseRecords"];
    double loadRatio = s["BM_SrecCat"] / s["BM_LoadBatches"];
    std::printf("srec_cat to binary: %.2f ms wall\n", s["BM_SrecCat"] * 1e3);
    std::printf("ratio srec_cat / parse path: %.1fx; srec_cat / loader without waits: %.1fx\n", parseRatio,
                loadRatio);
    std::printf("verdict: parse path %s the aim of at least 2x srec_cat (%.1fx)\n",
                parseRatio >= 2.0 ? "meets" : "MISSES", parseRatio);
  }
  std::remove(g_path.c_str());
  return 0;
}
