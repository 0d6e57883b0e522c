// The record store on a PostgreSQL server that the test starts for itself:
// the store's contract, four stations drawing from one series at once, and
// a server that goes down between two boards.
#include "e2e/serial_rig.h"
#include "records/store_contract.h"
#include "support/pg_server.h"

namespace porten::records {
namespace {

testing::PgServer& Server() {
  static testing::PgServer server;
  static const bool started = server.Start();
  EXPECT_TRUE(started) << server.Error();
  return server;
}

INSTANTIATE_TEST_SUITE_P(PostgreSQL, StoreContract,
                         ::testing::Values(StoreMaker{"postgresql", []() -> std::unique_ptr<Store> {
                           static int n = 0;
                           const std::string uri = Server().NewDatabase("contract" + std::to_string(++n));
                           if (uri.empty()) throw StoreError(Server().Error());
                           return OpenStore(uri, true);
                         }}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PgStore, AnUnreachableServerIsAClearErrorWithoutThePassword) {
  const std::string head = "cannot reach the record store postgresql://porten@/postgres?host=/nonexistent: ";
  try {
    OpenStore("postgresql://porten:secret@/postgres?host=/nonexistent", true);
    ADD_FAILURE();
  } catch (const StoreError& e) {
    EXPECT_EQ(head, std::string(e.what()).substr(0, head.size()));
    EXPECT_EQ(std::string::npos, std::string(e.what()).find("secret"));
  }
}

using testing::Padded;
using testing::SerialBench;

TEST_F(SerialBench, FourStationsShareOneSeriesOnPostgreSQL) {
  const std::string uri = Server().NewDatabase("line");
  ASSERT_FALSE(uri.empty()) << Server().Error();
  FourWritersOfTwentyFive(uri);
}

TEST_F(SerialBench, AServerLostBetweenTwoBoardsStopsTheNextBeforeAnythingIsSent) {
  testing::PgServer server;  // its own: this test stops it
  ASSERT_TRUE(server.Start()) << server.Error();
  StartBoard({}, "ttyA");
  StartBoard({}, "ttyB");
  std::ostringstream out, err;
  auto write = [&](const std::string& port) {
    auto args = SerialWrite(server.Uri(), {dir_.File(port)});
    args.insert(args.begin(), "porten-cli");
    out.str(""), err.str("");
    return cli::Dispatch(args, out, err);
  };
  ASSERT_EQ(0, write("ttyA")) << err.str();
  EXPECT_EQ(Padded(Sent(1)), boards_[0]->RomRange(kImageBase, kBlocks * 128));
  ASSERT_TRUE(server.Stop()) << server.Error();
  EXPECT_EQ(3, write("ttyB"));
  const std::string head = "porten-cli write: cannot reach the record store " + server.Uri() + ": ";
  EXPECT_EQ(head, err.str().substr(0, head.size()));
  EXPECT_EQ(0u, boards_[1]->Counters().bytesFromTool);
}

}  // namespace
}  // namespace porten::records
