// The record store on SQLite, and the serial formats.
#include <sqlite3.h>

#include "records/sqlite_store.h"
#include "records/store_contract.h"
#include "support/image_writer.h"

namespace porten::records {
namespace {

testing::TempDir& Dir() {
  static testing::TempDir dir;
  return dir;
}

INSTANTIATE_TEST_SUITE_P(SQLite, StoreContract,
                         ::testing::Values(StoreMaker{"sqlite", [] {
                           static int n = 0;
                           return OpenStore(Dir().File("s" + std::to_string(++n) + "/records.sqlite"), true);
                         }}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SqliteStore, RefusesAMissingFileToReadAndAStoreOfALaterVersion) {
  const std::string missing = Dir().File("none.sqlite"), later = Dir().File("later.sqlite");
  auto refusal = [](const std::string& where, bool create) {
    try {
      OpenStore(where, create);
    } catch (const StoreError& e) {
      return std::string(e.what());
    }
    return std::string("opened");
  };
  EXPECT_EQ("no record store at " + missing, refusal(missing, false));
  OpenStore(later, true);
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(later.c_str(), &db));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "UPDATE porten_schema SET version = 2", nullptr, nullptr, nullptr));
  sqlite3_close(db);
  EXPECT_EQ("the record store " + later + " has schema version 2; this porten-cli reads up to 1", refusal(later, true));
}

}  // namespace
}  // namespace porten::records
