// bench_records: what recording a board costs: the draw of its serial number
// with its row, the SHA-256 of what is sent, and the row's end, as one
// board's write makes them (the digest itself is not counted), on SQLite (a file on this machine's disk, WAL,
// synchronous=FULL) and on a PostgreSQL server the bench starts for itself
// (fsync on, a Unix socket). Prints the median and the p99 of N boards
// (default 500). Goals: 5 ms on SQLite, 10 ms on PostgreSQL.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "records/store.h"
#include "support/image_writer.h"
#include "support/pg_server.h"

namespace {

using namespace porten;

void Measure(const char* name, records::Store& store, int boards) {
  const records::Writer self = records::Writer::Self();
  const records::AttemptStart start{"ttyUSB0", "/dev/ttyUSB0", "A50285BI", "app.mot",
                                    std::string(64, 'a'), 1};
  std::vector<double> ms;
  for (int i = 0; i < boards + 10; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    const auto started =
        store.Begin(self, start, records::Draw{}, [](const records::Started&) { return std::string(64, 'b'); });
    store.Finish(started.id, true, "書込み終了", 0);
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - t0;
    if (i >= 10) ms.push_back(took.count());  // the first ones warm the caches
  }
  std::sort(ms.begin(), ms.end());
  std::printf("%-11s %5d boards   median %6.2f ms   p99 %6.2f ms   max %6.2f ms\n", name, boards,
              ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.back());
}

}  // namespace

int main(int argc, char** argv) {
  const int boards = argc > 1 ? std::atoi(argv[1]) : 500;
  std::printf("Record cost per board: draw and row, sent SHA-256, end (%d boards)\n", boards);
  porten::testing::TempDir dir;
  {
    auto store = records::OpenStore(dir.File("records.sqlite"), true);
    Measure("SQLite", *store, boards);
  }
  porten::testing::PgServer server;
  if (!server.Start()) {
    std::fprintf(stderr, "bench_records: no PostgreSQL server: %s\n", server.Error().c_str());
    return 1;
  }
  auto store = records::OpenStore(server.Uri(), true);
  Measure("PostgreSQL", *store, boards);
  return 0;
}
