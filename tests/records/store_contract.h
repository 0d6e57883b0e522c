// What every record store must do, run on SQLite (test_records) and on
// PostgreSQL (test_records_pg): each binary instantiates StoreContract with
// a maker of fresh, empty stores.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "records/store.h"

namespace porten::records {

struct StoreMaker {
  const char* name;
  std::function<std::unique_ptr<Store>()> make;  // a new, empty store
};

inline void PrintTo(const StoreMaker& maker, std::ostream* os) { *os << maker.name; }

class StoreContract : public ::testing::TestWithParam<StoreMaker> {};

}  // namespace porten::records
