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

TEST(SqliteStore, RefusesWhatItCannotUse) {
  const std::string missing = Dir().File("none.sqlite");
  try {
    OpenStore(missing, false);
    ADD_FAILURE();
  } catch (const StoreError& e) {
    EXPECT_EQ("no record store at " + missing, e.what());
  }
  EXPECT_THROW(OpenStore("/proc/porten/records.sqlite", true), StoreError);

  // A store from a later version is not written to.
  const std::string later = Dir().File("later.sqlite");
  OpenStore(later, true);
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(later.c_str(), &db));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "UPDATE porten_schema SET version = 2", nullptr, nullptr, nullptr));
  sqlite3_close(db);
  try {
    OpenStore(later, true);
    ADD_FAILURE();
  } catch (const StoreError& e) {
    EXPECT_EQ("the record store " + later + " has schema version 2; this porten-cli reads up to 1",
              std::string(e.what()));
  }
}

}  // namespace
}  // namespace porten::records
