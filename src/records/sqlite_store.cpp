#include "records/sqlite_store.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cerrno>
#include <cstring>

#include "records/store_common.h"

namespace porten::records {

namespace {

// Long enough for another process's draw or schema creation, on a slow disk.
constexpr int kBusyTimeoutMs = 30000;

// Makes the directories above path, as mkdir -p would.
void MakeParents(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string dir = path.substr(0, slash);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
      throw StoreError("cannot make the directory " + dir + ": " + std::strerror(errno));
    }
  }
}

}  // namespace

// A prepared statement, finalized when it goes out of scope.
class SqliteStore::Statement {
 public:
  Statement(const SqliteStore& store, const std::string& sql) : store_(store) {
    if (sqlite3_prepare_v2(store.db_, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) {
      store.Fail("cannot prepare a statement");
    }
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int i, const std::optional<std::string>& text) {
    const int rc = text ? sqlite3_bind_text(stmt_, i, text->c_str(), -1, SQLITE_TRANSIENT)
                        : sqlite3_bind_null(stmt_, i);
    if (rc != SQLITE_OK) store_.Fail("cannot bind a value");
    return *this;
  }
  Statement& Bind(int i, int64_t n) {
    if (sqlite3_bind_int64(stmt_, i, n) != SQLITE_OK) store_.Fail("cannot bind a value");
    return *this;
  }
  // True while there is a row.
  bool Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) store_.Fail("cannot write or read the records");
    return false;
  }
  std::optional<std::string> Text(int i) const {
    if (sqlite3_column_type(stmt_, i) == SQLITE_NULL) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(sqlite3_column_text(stmt_, i)));
  }
  int64_t Int(int i) const { return sqlite3_column_int64(stmt_, i); }

 private:
  const SqliteStore& store_;
  sqlite3_stmt* stmt_ = nullptr;
};

SqliteStore::SqliteStore(const std::string& path, bool create) : path_(path) {
  struct stat st {};
  if (!create && ::stat(path.c_str(), &st) != 0) {
    throw StoreError("no record store at " + path);
  }
  if (create) MakeParents(path);
  const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) |
                    SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw StoreError("cannot open the record store " + path + ": " + why);
  }
  try {
    // A file the OS lets us only read opens read-only without a word.
    if (create && sqlite3_db_readonly(db_, "main") == 1) {
      throw StoreError("the record store " + path + " is read-only");
    }
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    {
      Statement wal(*this, "PRAGMA journal_mode=WAL");
      if (!wal.Step() || wal.Text(0) != "wal") {
        throw StoreError("the record store " + path + " cannot use write-ahead logging");
      }
    }
    Exec("PRAGMA synchronous=FULL");
    Exec("BEGIN IMMEDIATE");
    try {
      Statement has(*this,
                    "SELECT count(*) FROM sqlite_master WHERE name = 'porten_schema'");
      has.Step();
      if (has.Int(0) == 0) {
        Exec("CREATE TABLE porten_schema (version INTEGER NOT NULL)");
        Statement(*this, "INSERT INTO porten_schema VALUES (" + std::to_string(kSchemaVersion) + ")")
            .Step();
        Exec(detail::SchemaSql("INTEGER PRIMARY KEY AUTOINCREMENT").c_str());
      }
      Statement version(*this, "SELECT max(version) FROM porten_schema");
      version.Step();
      if (version.Int(0) > kSchemaVersion) {
        throw StoreError("the record store " + path + " has schema version " +
                         std::to_string(version.Int(0)) + "; this porten-cli reads up to " +
                         std::to_string(kSchemaVersion));
      }
    } catch (...) {
      Rollback();
      throw;
    }
    Exec("COMMIT");
  } catch (...) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw;
  }
}

SqliteStore::~SqliteStore() { sqlite3_close(db_); }

void SqliteStore::Fail(const std::string& what) const {
  throw StoreError("record store " + path_ + ": " + what + ": " + sqlite3_errmsg(db_));
}

void SqliteStore::Exec(const char* sql) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
    Fail("cannot write or read the records");
  }
}

void SqliteStore::Rollback() {
  if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

Started SqliteStore::Begin(const Writer& writer, const AttemptStart& start,
                           const std::optional<Draw>& draw, const SentDigest& sent) {
  std::lock_guard lock(mu_);
  Started started;
  Exec("BEGIN IMMEDIATE");
  try {
    if (draw) {
      Statement(*this, "INSERT OR IGNORE INTO porten_series VALUES (?, ?)")
          .Bind(1, draw->series)
          .Bind(2, static_cast<int64_t>(draw->first) - 1)
          .Step();
      Statement last(*this, "SELECT last_drawn FROM porten_series WHERE name = ?");
      last.Bind(1, draw->series).Step();
      const int64_t drawn = last.Int(0);
      if (drawn >= 0 && static_cast<uint64_t>(drawn) >= draw->max) {
        throw DoesNotFit(static_cast<uint64_t>(drawn) + 1,
                         "the next number of series " + draw->series + ", " +
                             std::to_string(static_cast<uint64_t>(drawn) + 1) +
                             ", does not fit the serial number's format");
      }
      Statement(*this, "UPDATE porten_series SET last_drawn = ? WHERE name = ?")
          .Bind(1, drawn + 1)
          .Bind(2, draw->series)
          .Step();
      started.serial = static_cast<uint64_t>(drawn + 1);
    }
    Statement insert(*this,
                     "INSERT INTO porten_attempts (series, serial, station, pid, pid_start, port,"
                     " device, usb_serial, image, image_sha256, started, attempt)"
                     " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    insert.Bind(1, draw ? std::optional(draw->series) : std::nullopt);
    if (started.serial) {
      insert.Bind(2, static_cast<int64_t>(*started.serial));
    } else {
      insert.Bind(2, std::nullopt);
    }
    insert.Bind(3, writer.station)
        .Bind(4, writer.pid)
        .Bind(5, writer.pidStart)
        .Bind(6, start.port)
        .Bind(7, start.device)
        .Bind(8, start.usbSerial)
        .Bind(9, start.image)
        .Bind(10, start.imageSha256)
        .Bind(11, IsoUtc(std::chrono::system_clock::now()))
        .Bind(12, int64_t{start.attempt})
        .Step();
    started.id = sqlite3_last_insert_rowid(db_);
    Statement(*this, "UPDATE porten_attempts SET sent_sha256 = ? WHERE id = ?")
        .Bind(1, sent(started))
        .Bind(2, started.id)
        .Step();
    Exec("COMMIT");
  } catch (...) {
    Rollback();
    throw;
  }
  return started;
}

void SqliteStore::Finish(int64_t id, bool written, const std::string& result, int exit) {
  std::lock_guard lock(mu_);
  Statement(*this,
            "UPDATE porten_attempts SET ended = ?, result = ?, outcome = ?, exit = ? WHERE id = ?")
      .Bind(1, IsoUtc(std::chrono::system_clock::now()))
      .Bind(2, result)
      .Bind(3, std::string(detail::StoredOutcome(written)))
      .Bind(4, int64_t{exit})
      .Bind(5, id)
      .Step();
}

void SqliteStore::MarkInterrupted(const Writer& self) {
  std::lock_guard lock(mu_);
  std::vector<int64_t> dead;
  {
    Statement open(*this,
                   "SELECT id, pid, pid_start FROM porten_attempts"
                   " WHERE outcome IS NULL AND station = ?");
    open.Bind(1, self.station);
    while (open.Step()) {
      if (!Writer{self.station, open.Int(1), open.Int(2)}.Alive()) dead.push_back(open.Int(0));
    }
  }
  for (int64_t id : dead) {
    Statement(*this,
              "UPDATE porten_attempts SET outcome = 'interrupted' WHERE id = ? AND outcome IS NULL")
        .Bind(1, id)
        .Step();
  }
}

std::vector<Row> SqliteStore::Rows(const RowFilter& filter, const Writer& self) {
  std::lock_guard lock(mu_);
  std::string sql = std::string("SELECT ") + detail::kRowColumns +
                    " FROM porten_attempts WHERE (?1 IS NULL OR serial = ?1)"
                    " AND (?2 IS NULL OR series = ?2)";
  const bool limit = filter.last && !filter.failedOnly;
  sql += limit ? " ORDER BY id DESC LIMIT ?3" : " ORDER BY id";
  Statement select(*this, sql);
  if (filter.serial) {
    select.Bind(1, static_cast<int64_t>(*filter.serial));
  } else {
    select.Bind(1, std::nullopt);
  }
  select.Bind(2, filter.series);
  if (limit) select.Bind(3, static_cast<int64_t>(*filter.last));
  std::vector<Row> rows;
  while (select.Step()) {
    Row r = detail::RowFrom([&](int i) { return select.Text(i); }, self);
    if (!filter.failedOnly || r.outcome == Outcome::kFailed ||
        r.outcome == Outcome::kInterrupted) {
      rows.push_back(std::move(r));
    }
  }
  if (limit) std::reverse(rows.begin(), rows.end());
  if (filter.last && rows.size() > *filter.last) rows.erase(rows.begin(), rows.end() - *filter.last);
  return rows;
}

std::vector<SeriesState> SqliteStore::Series() {
  std::lock_guard lock(mu_);
  Statement select(*this, "SELECT name, last_drawn FROM porten_series ORDER BY name");
  std::vector<SeriesState> series;
  while (select.Step()) {
    const int64_t last = select.Int(1);
    SeriesState s{*select.Text(0), std::nullopt};
    if (last < INT64_MAX) s.next = static_cast<uint64_t>(last + 1);
    series.push_back(std::move(s));
  }
  return series;
}

}  // namespace porten::records
