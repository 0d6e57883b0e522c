// The record store of one station: a SQLite file that several processes on
// the machine share. The busy time-out comes first, so that even switching
// to write-ahead logging waits for another writer; a draw and the schema's
// creation each run in one BEGIN IMMEDIATE transaction, and synchronous=FULL
// puts a committed draw on the disk before anything is sent.
#pragma once

#include <mutex>
#include <string>

#include "records/store.h"

struct sqlite3;
struct sqlite3_stmt;

namespace porten::records {

class SqliteStore final : public Store {
 public:
  // Throws StoreError.
  SqliteStore(const std::string& path, bool create);
  ~SqliteStore() override;

  Started Begin(const Writer& writer, const AttemptStart& start,
                const std::optional<Draw>& draw, const SentDigest& sent) override;
  void Finish(int64_t id, bool written, const std::string& result, int exit) override;
  void MarkInterrupted(const Writer& self) override;
  std::vector<Row> Rows(const RowFilter& filter, const Writer& self) override;
  std::vector<SeriesState> Series() override;
  std::string Where() const override { return path_; }

 private:
  class Statement;
  [[noreturn]] void Fail(const std::string& what) const;
  void Exec(const char* sql);
  void Rollback();

  const std::string path_;
  std::mutex mu_;
  sqlite3* db_ = nullptr;
};

}  // namespace porten::records
