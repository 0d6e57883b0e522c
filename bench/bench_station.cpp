// The station's soak: boards in a row on the simulated fixture, without wire
// time and with a short removal quiet, every ROM checked. Prints the
// station's descriptors and resident memory at board 10 and at the last
// board, and its overhead per board: from a board's first answer to the
// first byte of its write (the 0x55 of the handshake, as the board sees it),
// and from the board's last answer until the station's first sync for the
// next. Then hot-plugged adapters, four at a time: from a device's
// appearance to its first sync byte. Figures only, no assertions: the
// machine is shared.
//
//   bench_station [BOARDS] [HOT-PLUGGED]   (default 1000 and 200)
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/station.h"
#include "sim/image_files.h"
#include "sim/sim_fixture.h"

namespace {

using namespace porten;
using Steady = std::chrono::steady_clock;

long Descriptors() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

double RssMb() {
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * static_cast<double>(::sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

void Print(const char* what, std::vector<double> ms) {
  if (ms.empty()) return;
  std::sort(ms.begin(), ms.end());
  auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<size_t>(q * (ms.size() - 1) + 0.5))]; };
  std::printf("%-44s median %6.2f ms  p99 %6.2f ms  max %6.2f ms  (%zu boards)\n", what, at(0.5), at(0.99),
              ms.back(), ms.size());
}

double Ms(Steady::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Boards on adapters that come and go in a watched directory, slots at a time.
void HotPlug(const std::string& d, int count, const sim::SparseMemory& expect) {
  if (count <= 0) return;
  const std::string dir = d + "/by-id";
  std::filesystem::create_directory(dir);
  cli::StationOptions o;
  o.write.loader = d + "/LOADER.MOT";
  o.write.image = d + "/image.mot";
  o.write.log = d + "/hot-plug.log";
  o.write.quiet = true;
  o.watch = {dir};
  o.count = count;
  cli::Station station(o);
  std::ostringstream err;
  if (station.Start(err) != 0) {
    std::fprintf(stderr, "%s", err.str().c_str());
    return;
  }
  sim::FixtureOptions f;
  f.hotPlug = true;
  f.linkDir = dir;
  f.slots = 4;
  f.offMs = 100;
  f.boards = count;
  f.expect = expect;
  f.knobs.sync = sim::SyncAnswer::kAtOnce;  // its first answer marks the first sync byte's arrival
  sim::SimFixture fixture(f);
  if (!fixture.Start()) return;
  const auto began = Steady::now();
  while (!station.Wait(std::chrono::milliseconds(200))) station.TakeEnded();
  const double seconds = std::chrono::duration<double>(Steady::now() - began).count();
  station.Stop();
  station.TakeEnded();
  fixture.WaitFor([&] { return fixture.Written() >= count; }, 10000);  // the last boards' own reports
  std::vector<double> arrival;
  for (const auto& b : fixture.Boards()) {
    if (b.firstAnswer != Steady::time_point{}) arrival.push_back(Ms(b.firstAnswer - b.placed));
  }
  std::printf("hot-plug: %d boards in %.0f s on 4 slots, %d written, %d ROMs matched\n", count, seconds,
              station.Tally().written, fixture.Matched());
  Print("device's appearance to its first sync byte", arrival);
  for (const auto& b : fixture.Boards()) {
    if (!b.matched) std::printf("board %d on %s: %d writes, %s\n", b.number, b.port.c_str(), b.writes, b.hungUp ? "hung up" : "");
  }
  for (const auto& a : fixture.Anomalies()) std::printf("%s\n", a.c_str());
  fixture.Stop();
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int hotPlugged = argc > 2 ? std::atoi(argv[2]) : 200;
  char dir[] = "/tmp/porten-soak-XXXXXX";
  if (!::mkdtemp(dir)) return 1;
  const std::string d = dir;
  // A 2 KB image behind a 200-byte loader, as the end-to-end tests write.
  {
    std::ofstream loader(d + "/LOADER.MOT"), image(d + "/image.mot");
    auto records = [](std::ofstream& out, uint32_t base, size_t n, unsigned seed) {
      for (size_t at = 0; at < n; at += 16) {
        const size_t len = std::min<size_t>(16, n - at);
        const uint32_t a = base + static_cast<uint32_t>(at);
        unsigned sum = static_cast<unsigned>(len + 5) + (a >> 24) + ((a >> 16) & 0xFF) + ((a >> 8) & 0xFF) + (a & 0xFF);
        char line[80];
        int k = std::snprintf(line, sizeof line, "S3%02X%08X", static_cast<unsigned>(len + 5), a);
        for (size_t i = 0; i < len; ++i) {
          const unsigned b = (seed * 131 + (at + i) * 17) & 0xFF;
          sum += b;
          k += std::snprintf(line + k, sizeof line - k, "%02X", b);
        }
        std::snprintf(line + k, sizeof line - k, "%02X\r\n", ~sum & 0xFF);
        out << line;
      }
    };
    records(loader, 0x00FFE000, 200, 3);
    records(image, 0x00002000, 2048, 5);
  }
  sim::FixtureOptions f;
  f.link = d + "/ttyFIXTURE";
  f.offMs = 800;  // past the removal quiet and one sync period
  sim::SparseMemory expect;
  std::string error;
  if (!sim::ReadSRecordFile(d + "/image.mot", expect, error)) return 1;
  f.expect = expect;
  sim::SimFixture fixture(f);
  if (!fixture.Start()) return 1;

  cli::StationOptions o;
  o.write.loader = d + "/LOADER.MOT";
  o.write.image = d + "/image.mot";
  o.write.log = d + "/station.log";
  o.write.quiet = true;
  o.ports = {fixture.PortPath()};
  o.count = count;
  o.removalQuietS = 0.2;
  cli::Station station(o);
  std::ostringstream err;
  if (station.Start(err) != 0) {
    std::fprintf(stderr, "%s", err.str().c_str());
    return 1;
  }
  // The overhead figures of the boards so far.
  auto overhead = [&] {
    const auto boards = fixture.Boards();
    const auto ready = station.ReadyAgain();
    std::vector<double> arrival, again;
    for (const auto& b : boards) {
      if (b.firstAnswer != Steady::time_point{} && b.handshake >= b.firstAnswer) {
        arrival.push_back(std::chrono::duration<double, std::milli>(b.handshake - b.firstAnswer).count());
      }
      if (b.writeDone == Steady::time_point{}) continue;
      const auto next = std::upper_bound(ready.begin(), ready.end(), b.writeDone);
      if (next != ready.end()) again.push_back(std::chrono::duration<double, std::milli>(*next - b.writeDone).count());
    }
    Print("arrival (first answer) to first byte of write", arrival);
    Print("end of a board to the next sync (ready)", again);
  };
  size_t reported = 0;
  long fdAt10 = -1;
  double rssAt10 = 0;
  const auto began = Steady::now();
  while (!station.Wait(std::chrono::milliseconds(200))) {
    station.TakeEnded();
    if (fdAt10 < 0 && static_cast<size_t>(station.Tally().written + station.Tally().failed) >= 10) {
      fdAt10 = Descriptors();
      rssAt10 = RssMb();
    }
    if (static_cast<size_t>(station.Tally().written + station.Tally().failed) >= reported + 100) {  // progress, should the run be cut short
      reported = static_cast<size_t>(station.Tally().written + station.Tally().failed);
      std::printf("-- %zu boards: %ld descriptors, %.2f MB\n", reported, Descriptors(), RssMb());
      overhead();
      std::fflush(stdout);
    }
  }
  const long fdAtEnd = Descriptors();
  const double rssAtEnd = RssMb();
  const double seconds = std::chrono::duration<double>(Steady::now() - began).count();
  station.Stop();
  station.TakeEnded();
  fixture.WaitFor([&] { return fixture.Written() >= count; }, 10000);
  const auto boards = fixture.Boards();

  const int written = station.Tally().written;
  std::printf("station soak: %d boards in %.0f s, %d written, %d ROMs matched, %d boards written twice\n", count,
              seconds, written, fixture.Matched(),
              static_cast<int>(std::count_if(boards.begin(), boards.end(), [](auto& b) { return b.writes > 1; })));
  std::printf("descriptors: %ld at board 10, %ld at board %d\n", fdAt10, fdAtEnd, count);
  std::printf("resident memory: %.2f MB at board 10, %.2f MB at board %d (%+.2f MB)\n", rssAt10, rssAtEnd, count,
              rssAtEnd - rssAt10);
  overhead();
  fixture.Stop();
  HotPlug(d, hotPlugged, expect);
  std::filesystem::remove_all(d);
  return 0;
}
