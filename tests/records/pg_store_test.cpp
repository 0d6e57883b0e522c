// The record store on a PostgreSQL server that the test starts for itself.
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

TEST(PgStore, AnUnreachableServerIsAClearError) {
  try {
    OpenStore("postgresql://porten:secret@/postgres?host=/nonexistent", true);
    ADD_FAILURE();
  } catch (const StoreError& e) {
    const std::string what = e.what();
    const std::string head = "cannot reach the record store postgresql://porten@/postgres?host=/nonexistent: ";
    EXPECT_EQ(head, what.substr(0, head.size()));
    EXPECT_EQ(std::string::npos, what.find("secret"));
  }
}

}  // namespace
}  // namespace porten::records
