// How fast image files load: a full 307,200-byte image in S3 records of 16
// and 32 bytes, and the same image in Intel HEX records of 16 and 32 bytes,
// both with CR LF line ends.
//
//   BM_Parse*        the parse path alone: record, checks and copy into the
//                    image, from text in memory
//   BM_LoadBatches   Open and back-to-back Batch calls: the prescan, the file
//                    window, the reading on after the data, but no timer waits
//   BM_BatchedLoad   the load as the window thread runs it, on the command
//                    line's console loop: the first batch 100 ms after the
//                    start, as the dialog does, the rest on 0 ms timers
//   BM_SrecCat       srec_cat converting the S-record file to binary (process
//                    start included), when it is installed
#include <spawn.h>
#include <sys/wait.h>

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
#include "image/image_load.h"
#include "image/intel_hex.h"
#include "image/srec.h"

extern char** environ;

namespace {

using namespace porten;

struct File {
  std::string text;
  std::string path;
  size_t records = 0;
};
File g_files[2];  // 0: S-records, 1: Intel HEX
const char* kNames[2] = {"S-record", "Intel HEX"};

std::string Hex2(unsigned v) {
  static const char digits[] = "0123456789ABCDEF";
  return {digits[(v >> 4) & 15], digits[v & 15]};
}

void MakeFiles() {
  std::vector<uint8_t> image(kImageBufferSize);
  uint32_t x = 12345;
  for (auto& b : image) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 16);
  File& s = g_files[0];
  File& h = g_files[1];
  s.text = "S00F000068656C6C6F202020202000003C\r\n";
  size_t at = 0;
  for (bool small = true; at < image.size(); small = !small) {
    const size_t n = std::min<size_t>(small ? 16 : 32, image.size() - at);
    unsigned sum = static_cast<unsigned>(4 + n + 1);
    std::string line = "S3" + Hex2(sum);
    std::string hex = ":" + Hex2(static_cast<unsigned>(n)) + Hex2(static_cast<unsigned>(at >> 8)) +
                      Hex2(static_cast<unsigned>(at)) + "00";
    unsigned hexSum = static_cast<unsigned>(n + (at >> 8) + at);
    for (int shift = 24; shift >= 0; shift -= 8) {
      sum += (at >> shift) & 0xFF;
      line += Hex2(static_cast<unsigned>(at >> shift));
    }
    if ((at & 0xFFFF) == 0) {  // the upper address bits for the next 64 KB
      const unsigned upper = static_cast<unsigned>(at >> 16);
      h.text +=
          ":02000004" + Hex2(upper >> 8) + Hex2(upper) + Hex2(0x100 - ((6 + (upper >> 8) + upper) & 0xFF)) + "\r\n";
      ++h.records;
    }
    for (size_t i = 0; i < n; ++i) {
      sum += image[at + i];
      hexSum += image[at + i];
      line += Hex2(image[at + i]);
      hex += Hex2(image[at + i]);
    }
    s.text += line + Hex2(~sum) + "\r\n";
    h.text += hex + Hex2(0x100 - (hexSum & 0xFF)) + "\r\n";
    at += n;
    ++s.records;
    ++h.records;
  }
  s.text += "S70500000000FA\r\n";
  h.text += ":00000001FF\r\n";
  for (int f = 0; f < 2; ++f) {
    g_files[f].path =
        (std::filesystem::temp_directory_path() / (f ? "porten-bench-load.hex" : "porten-bench-load.mot")).string();
    std::ofstream(g_files[f].path, std::ios::binary) << g_files[f].text;
  }
}

void Count(benchmark::State& state, const File& file) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * file.records));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.text.size()));
}

void BM_ParseSRecords(benchmark::State& state) {
  const File& file = g_files[0];
  std::vector<uint8_t> image(kImageBufferSize, 0xFF);
  SRecord record;
  for (auto _ : state) {
    const char* p = file.text.c_str();
    const char* end = p + file.text.size();
    size_t records = 0;
    while (p < end) {
      const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
      if (p[0] == 'S' && IsDataType(p[1])) {
        if (!lf || ParseSRecord(p, static_cast<size_t>(lf - 1 - p), &record).status != RecordParse::kOk ||
            record.address + record.length > kImageBufferSize || std::memchr(p, '\0', static_cast<size_t>(lf - p))) {
          state.SkipWithError("record");
          break;
        }
        std::memcpy(image.data() + record.address, record.data, record.length);
        ++records;
      }
      if (!lf) break;
      p = lf + 1;
    }
    benchmark::DoNotOptimize(image.data());
    if (records != file.records) state.SkipWithError("record count");
  }
  Count(state, file);
}
BENCHMARK(BM_ParseSRecords)->Unit(benchmark::kMillisecond);

void BM_ParseIntelHex(benchmark::State& state) {
  const File& file = g_files[1];
  std::vector<uint8_t> image(kImageBufferSize, 0xFF);
  HexRecord record;
  for (auto _ : state) {
    const char* p = file.text.c_str();
    const char* end = p + file.text.size();
    size_t records = 0;
    uint32_t upper = 0;
    while (p < end) {
      const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
      if (!lf || ParseHexRecord(p, static_cast<size_t>(lf - 1 - p), &record).status != RecordParse::kOk) {
        state.SkipWithError("record");
        break;
      }
      if (record.type == kHexLinear) upper = HexBaseAddress(record);
      if (record.type == kHexData) std::memcpy(image.data() + upper + record.offset, record.data, record.count);
      ++records;
      p = lf + 1;
    }
    benchmark::DoNotOptimize(image.data());
    if (records != file.records + 1) state.SkipWithError("record count");
  }
  Count(state, file);
}
BENCHMARK(BM_ParseIntelHex)->Unit(benchmark::kMillisecond);

void BM_LoadBatches(benchmark::State& state) {
  const File& file = g_files[state.range(0)];
  ImageLoad load;
  for (auto _ : state) {
    ImageLoad::Result result = load.Open(file.path, "");
    while (result == ImageLoad::Result::kMore) result = load.Batch();
    if (result != ImageLoad::Result::kDone || load.TakeImage().bytes.size() != kImageBufferSize) {
      state.SkipWithError("load failed");
    }
  }
  Count(state, file);
}
BENCHMARK(BM_LoadBatches)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The window thread's side of a load: a batch on each TIMER_LOAD tick.
struct LoadTicks : TimerTarget {
  ImageLoad load;
  WindowSystem* window = nullptr;
  ImageLoad::Result result = ImageLoad::Result::kMore;
  void OnTimer(int id) override {
    if (id != TIMER_LOAD) return;
    result = load.Batch();
    if (result == ImageLoad::Result::kMore) window->SetTimer(TIMER_LOAD, 0);
  }
};

void BM_BatchedLoad(benchmark::State& state) {
  const File& file = g_files[state.range(0)];
  for (auto _ : state) {
    cli::ConsoleLoop loop;
    LoadTicks ticks;
    ticks.window = &loop;
    loop.Bind(&ticks);
    if (ticks.load.Open(file.path, "") != ImageLoad::Result::kMore) state.SkipWithError("open failed");
    loop.SetTimer(TIMER_LOAD, 100);
    loop.Run([&] { return ticks.result != ImageLoad::Result::kMore; });
    if (ticks.result != ImageLoad::Result::kDone) state.SkipWithError("load failed");
  }
  Count(state, file);
}
BENCHMARK(BM_BatchedLoad)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

bool HaveSrecCat() { return std::system("command -v srec_cat >/dev/null 2>&1") == 0; }

void BM_SrecCat(benchmark::State& state) {
  std::string out = g_files[0].path + ".bin";
  std::vector<std::string> args = {"srec_cat", g_files[0].path, "-o", out, "-binary"};
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
  Count(state, g_files[0]);
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
      name = name.substr(0, name.find("/iterations")).substr(0, name.find("/min_time"));
      seconds[name] = run.real_accumulated_time / static_cast<double>(run.iterations);
    }
  }
  std::map<std::string, double> seconds;
};

}  // namespace

int main(int argc, char** argv) {
  MakeFiles();
  bool srecCat = HaveSrecCat();
  if (srecCat) BENCHMARK(BM_SrecCat)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  for (int f = 0; f < 2; ++f) {
    std::printf("%s file: %zu records, %zu bytes of text, %u bytes of image\n", kNames[f], g_files[f].records,
                g_files[f].text.size(), kImageBufferSize);
  }
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();

  auto& s = collector.seconds;
  auto mb = [](int f, double secs) { return static_cast<double>(g_files[f].text.size()) / secs / 1e6; };
  const char* parse[2] = {"BM_ParseSRecords", "BM_ParseIntelHex"};
  std::printf("\n");
  for (int f = 0; f < 2; ++f) {
    const std::string load = "BM_LoadBatches/" + std::to_string(f);
    const std::string batched = "BM_BatchedLoad/" + std::to_string(f);
    if (s.count(parse[f])) {
      std::printf("%-9s parse path: %.0f records/s, %.1f MB/s of text\n", kNames[f],
                  static_cast<double>(g_files[f].records) / s[parse[f]], mb(f, s[parse[f]]));
    }
    if (s.count(load)) {
      std::printf("%-9s load without timer waits: %.2f ms, %.1f MB/s\n", kNames[f], s[load] * 1e3, mb(f, s[load]));
    }
    if (s.count(batched)) {
      std::printf("%-9s batched load on the console loop: %.1f ms wall (%zu batches; the first waits 100 ms)\n",
                  kNames[f], s[batched] * 1e3, (g_files[f].records + kRecordsPerBatch - 1) / kRecordsPerBatch);
    }
  }
  if (!srecCat) {
    std::printf("srec_cat is not installed (Debian package srecord): no comparison\n");
  } else if (s.count("BM_SrecCat") && s.count(parse[0]) && s.count("BM_LoadBatches/0")) {
    const double parseRatio = s["BM_SrecCat"] / s[parse[0]];
    std::printf("srec_cat to binary: %.2f ms wall\n", s["BM_SrecCat"] * 1e3);
    std::printf("ratio srec_cat / parse path: %.1fx; srec_cat / loader without waits: %.1fx\n", parseRatio,
                s["BM_SrecCat"] / s["BM_LoadBatches/0"]);
    std::printf("verdict: parse path %s the aim of at least 2x srec_cat (%.1fx)\n",
                parseRatio >= 2.0 ? "meets" : "MISSES", parseRatio);
  }
  for (const File& file : g_files) std::remove(file.path.c_str());
  return 0;
}
