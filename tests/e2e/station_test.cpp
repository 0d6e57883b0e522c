// The station against the simulated fixture on real ptys: boards placed and
// taken off one fixed adapter, and adapters that come and go in a watched
// directory. Every board is written once, none twice, and every attempt
// leaves its log line.
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>

#include "cli/station.h"
#include "e2e/serial_rig.h"
#include "sim/image_files.h"
#include "sim/sim_fixture.h"

namespace porten {
namespace {

using namespace testing;
using sim::FixtureOptions;
using sim::SimFixture;

class Station : public Bench {
 protected:
  cli::StationOptions Options(int count, const std::string& fixedPort = "") {
    cli::StationOptions o;
    if (!fixedPort.empty()) o.ports = {fixedPort};
    o.write.loader = dir_.File("LOADER.MOT");
    o.write.image = dir_.File("image.mot");
    o.write.log = dir_.File("station.log");
    o.write.quiet = true;
    o.count = count;
    o.removalQuietS = 0.2;
    o.syncPeriodMs = cli::kShortestSyncPeriodMs;  // twice the pace of the command
    return o;
  }
  FixtureOptions Fixture() {
    FixtureOptions f;
    f.link = dir_.File("ttyFIXTURE");  // fixed mode's
    f.offMs = 500;  // past the removal quiet and a sync period: taken off, as the station sees it
    sim::SparseMemory expect;
    std::string error;
    EXPECT_TRUE(sim::ReadSRecordFile(dir_.File("image.mot"), expect, error)) << error;
    f.expect = expect;
    return f;
  }
  // Runs the station until it ends, within a bound; started runs once it has started.
  int Run(cli::Station& station, const std::function<void()>& started = [] {}) {
    std::ostringstream err;
    EXPECT_EQ(0, station.Start(err)) << err.str();
    started();
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!station.Wait(std::chrono::milliseconds(200)) && std::chrono::steady_clock::now() < bound) {
      station.TakeEnded();
    }
    station.Stop();
    station.TakeEnded();
    return station.ExitStatus();
  }
  std::vector<nlohmann::json> Log() {
    std::vector<nlohmann::json> lines;
    std::ifstream in(dir_.File("station.log"));
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    return lines;
  }
};

// Each board stays on after its write, answering one more sync, and is then
// taken off: the station must wait for the quiet before the next.
TEST_F(Station, FixedFixtureWritesTwentyBoardsInARowEachOnce) {
  FixtureOptions f = Fixture();
  f.keepSyncs = 1;
  SimFixture fixture(f);
  ASSERT_TRUE(fixture.Start()) << fixture.Error();
  cli::StationOptions o = Options(20, fixture.PortPath());
  cli::Station station(o);
  EXPECT_EQ(0, Run(station));
  EXPECT_TRUE(fixture.WaitFor([&] { return fixture.Written() >= 20; }, 10000));
  const auto boards = fixture.Boards();
  ASSERT_GE(boards.size(), 20u);
  for (size_t i = 0; i < 20; ++i) {
    EXPECT_EQ(std::tuple(1, true), std::tuple(boards[i].writes, boards[i].matched)) << "board " << i + 1;
  }
  EXPECT_EQ(std::vector<std::string>{}, fixture.Anomalies());
  const auto log = Log();
  ASSERT_EQ(20u, log.size());
  for (const auto& j : log) {
    EXPECT_EQ(std::tuple(text::kWriteDone, 0, 1, Sha256Hex(image_)),
              std::tuple(j["result"], j["exit"], j["attempt"], j["image_sha256"]));
  }
  EXPECT_EQ(std::tuple(20, 0, 0), std::tuple(station.Tally().written, station.Tally().failed, station.Tally().retried));
}

// A board left on the fixture for good is written once, however many syncs
// it answers; the next write would show as a second on the same board.
TEST_F(Station, FixedFixtureNeverWritesABoardLeftOnTwice) {
  FixtureOptions f = Fixture();
  f.keepSyncs = -1;
  std::atomic<int> answers{0};
  f.onEvent = [&](const std::string& e) { answers += e == "board 1: sync answered"; };
  SimFixture fixture(f);
  ASSERT_TRUE(fixture.Start()) << fixture.Error();
  cli::StationOptions o = Options(0, fixture.PortPath());
  cli::Station station(o);
  std::ostringstream err;
  ASSERT_EQ(0, station.Start(err)) << err.str();
  // Written, then more than removal-quiet's worth of syncs answered.
  EXPECT_TRUE(fixture.WaitFor([&] { return fixture.Written() == 1 && answers >= 8; }, 60000));
  station.Stop();
  EXPECT_EQ(1, fixture.Boards().at(0).writes);
  EXPECT_EQ(1u, Log().size());
}

// Boards numbered from --serial-first as they arrive: each ROM holds its
// row's number and its row proves the bytes. ascii:1 has room for 8 and 9
// only, so the third draw stops the station as the run out of numbers.
TEST_F(Station, FixedFixtureNumbersEachBoardAndStopsWhenTheNumbersRunOut) {
  FixtureOptions f = Fixture();
  f.keepRoms = true;
  SimFixture fixture(f);
  ASSERT_TRUE(fixture.Start()) << fixture.Error();
  cli::StationOptions o = Options(0, fixture.PortPath());
  o.write.recording = {"0x2010", "ascii:1", "", "8", dir_.File("records.sqlite")};
  cli::Station station(o);
  EXPECT_EQ(1, Run(station));
  EXPECT_EQ("the serial numbers have run out; no further board was started", station.HaltReason());
  const auto rows = records::OpenStore(dir_.File("records.sqlite"), false)->Rows({}, records::Writer::Self());
  ASSERT_EQ(2u, rows.size());  // the third draw drew nothing
  const auto log = Log();
  ASSERT_EQ(3u, log.size());
  EXPECT_EQ(1, log[2]["exit"]);  // the third board, not written
  for (size_t i = 0; i < 2; ++i) {
    const records::Row& r = rows[i];
    const Bytes sent = records::PatchedImage(image_, kImageBase, kImageBase + 0x10, {uint8_t('8' + i)});
    EXPECT_EQ(std::tuple(uint64_t{8 + i}, records::Outcome::kWritten, Sha256Hex(sent), Sha256Hex(image_)),
              std::tuple(r.serial.value_or(0), r.outcome, r.sentSha256.value_or(""), r.imageSha256));
    EXPECT_EQ(Padded(sent), fixture.Boards().at(i).rom.Range(kImageBase, kBlocks * 128)) << "board " << i + 1;
    EXPECT_EQ(std::tuple(8 + i, Sha256Hex(sent)), std::tuple(log[i]["serial"].get<size_t>(), log[i]["sent_sha256"]));
  }
}

// A fixture whose boot mode the modem lines select needs a port that has
// them: a pseudo-terminal is refused at the start.
TEST_F(Station, LineSequencesOnAPortWithoutModemLinesAreRefusedAtTheStart) {
  StartBoard();
  cli::StationOptions o = Options(1, board().PortPath());
  o.write.linesBefore = {{LineStep::Kind::kRts, 1}};
  std::ostringstream err;
  EXPECT_EQ(3, cli::Station(o).Start(err));
  EXPECT_EQ("porten-cli station: " + board().PortPath() +
                " has no DTR and RTS (a pseudo-terminal?); --before, --after and --lines need them\n",
            err.str());
}

// Four adapters plugged into a directory that does not exist yet when the
// station starts; board 3's adapter is pulled in the middle of its boot
// loader upload; board 2 is tried twice.
TEST_F(Station, HotPluggedAdaptersComeAndGoOneUnpluggedMidWriteOneRetried) {
  const std::string adapters = dir_.File("by-id");
  cli::StationOptions o = Options(8);
  o.retries = 1;
  o.watch = {adapters};
  cli::Station station(o);
  FixtureOptions f = Fixture();
  f.hotPlug = true;
  f.linkDir = adapters;
  f.slots = 4;
  f.boards = 8;
  // Board 2's noise refuses the boot mode once (a 0x01 or 0xFF before the
  // handshake): its retry goes through.
  f.knobsFor = [](int n) {
    return sim::BoardKnobs{.hangUpAfterBytes = n == 3 ? 100 : -1, .noiseBytes = n == 2 ? 40 : 0};
  };
  SimFixture fixture(f);
  EXPECT_EQ(4, Run(station, [&] {
              std::filesystem::create_directory(adapters);
              ASSERT_TRUE(fixture.Start()) << fixture.Error();
            }));
  ASSERT_EQ(1u, station.Tally().failures.size());
  EXPECT_EQ(std::tuple(adapters + "/ttySIM3", text::kPortLost),
            std::tuple(station.Tally().failures[0].port, station.Tally().failures[0].result));
  // The board's thread reports its last write to the fixture as the station ends.
  EXPECT_TRUE(fixture.WaitFor([&] { return fixture.Written() == 7; }, 10000));
  const auto boards = fixture.Boards();
  ASSERT_EQ(8u, boards.size());
  std::map<std::string, std::string> results;  // by port, the last attempt's
  std::vector<std::string> board2;
  for (const auto& j : Log()) {
    results[j["port"]] = j["result"];
    if (j["port"] == adapters + "/ttySIM2") board2.push_back(j["result"].get<std::string>() + " " + j["attempt"].dump());
  }
  EXPECT_EQ((std::vector<std::string>{std::string(text::kBootRefused) + " 1", std::string(text::kWriteDone) + " 2"}), board2);
  EXPECT_EQ(1, station.Tally().retried);
  for (const auto& b : boards) {
    EXPECT_EQ(std::tuple(b.number != 3, b.number != 3, b.number == 3),
              std::tuple(b.writes == 1, b.matched, b.hungUp)) << "board " << b.number;
    EXPECT_EQ(b.number == 3 ? text::kPortLost : text::kWriteDone, results[b.port]) << "board " << b.number;
  }
  EXPECT_EQ(8u, results.size());
}

}  // namespace
}  // namespace porten
