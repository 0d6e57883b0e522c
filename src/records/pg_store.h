// The record store of a line of stations: PostgreSQL, reached by any libpq
// connection URI, with the SQLite store's schema. A draw is one statement
// that takes the number and opens its row together, so that stations on
// different machines never share a number and never lose one without a row.
// Stations that start at once on an empty database create the schema under
// a transaction-scoped advisory lock.
#pragma once

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "records/store.h"

struct pg_conn;
struct pg_result;

namespace porten::records {

class PgStore final : public Store {
 public:
  // Throws StoreError.
  explicit PgStore(const std::string& uri);
  ~PgStore() override;

  Started Begin(const Writer& writer, const AttemptStart& start,
                const std::optional<Draw>& draw, const SentDigest& sent) override;
  void Finish(int64_t id, bool written, const std::string& result, int exit) override;
  void MarkInterrupted(const Writer& self) override;
  std::vector<Row> Rows(const RowFilter& filter, const Writer& self) override;
  std::vector<SeriesState> Series() override;
  std::string Where() const override { return where_; }

 private:
  class Result;
  // The draw and the row, in the open transaction.
  Started OpenRow(std::vector<std::optional<std::string>> params, const std::optional<records::Draw>& draw);
  Result Exec(const std::string& sql, const std::vector<std::optional<std::string>>& params = {});

  const std::string where_;
  std::mutex mu_;
  pg_conn* conn_ = nullptr;
  std::set<std::string> knownSeries_;  // exist in the database: no insert needed
};

}  // namespace porten::records
