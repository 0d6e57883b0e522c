#include "records/pg_store.h"

#include <libpq-fe.h>

#include <algorithm>
#include <regex>
#include <utility>

#include "records/store_common.h"

namespace porten::records {

namespace {

// Seconds to wait for the server before a run is refused; a URI may say otherwise.
constexpr char kConnectTimeout[] = "10";
// The advisory lock that serializes the schema's creation: "porten" in ASCII.
constexpr char kSchemaLock[] = "SELECT pg_advisory_xact_lock(112111114116101110)";

// The URI without its password, for messages.
std::string WithoutPassword(const std::string& uri) {
  static const std::regex user(R"(^(postgres(ql)?://[^:@/]*):[^@/]*@)");
  static const std::regex param(R"(([?&]password=)[^&]*)");
  return std::regex_replace(std::regex_replace(uri, user, "$1@"), param, "$1...");
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace

// A query's result, cleared when it goes out of scope.
class PgStore::Result {
 public:
  explicit Result(pg_result* r) : r_(r) {}
  ~Result() { PQclear(r_); }
  Result(Result&& o) noexcept : r_(std::exchange(o.r_, nullptr)) {}
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;

  pg_result* get() const { return r_; }
  int Rows() const { return PQntuples(r_); }
  std::optional<std::string> Text(int row, int column) const {
    if (PQgetisnull(r_, row, column)) return std::nullopt;
    return std::string(PQgetvalue(r_, row, column));
  }

 private:
  pg_result* r_;
};

PgStore::PgStore(const std::string& uri) : where_(WithoutPassword(uri)) {
  // The URI comes after the time-out, so that its own connect_timeout wins.
  const char* keys[] = {"connect_timeout", "dbname", nullptr};
  const char* values[] = {kConnectTimeout, uri.c_str(), nullptr};
  conn_ = PQconnectdbParams(keys, values, 1);
  if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
    const std::string why = conn_ ? Trimmed(PQerrorMessage(conn_)) : "out of memory";
    PQfinish(conn_);
    conn_ = nullptr;
    throw StoreError("cannot reach the record store " + where_ + ": " + why);
  }
  // "relation already exists, skipping" and the like are not for the operator.
  PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
  try {
    Exec("BEGIN");
    Exec(kSchemaLock);
    const Result has = Exec("SELECT to_regclass('porten_schema') IS NOT NULL");
    if (has.Text(0, 0) != "t") {
      Exec("CREATE TABLE porten_schema (version INTEGER NOT NULL)");
      Exec("INSERT INTO porten_schema VALUES (" + std::to_string(kSchemaVersion) + ")");
      // Several statements: only the simple query protocol takes them.
      const std::string schema = detail::SchemaSql("BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY");
      Result created(PQexec(conn_, schema.c_str()));
      if (PQresultStatus(created.get()) != PGRES_COMMAND_OK) {
        throw StoreError("record store " + where_ + ": cannot create the tables: " +
                         Trimmed(PQerrorMessage(conn_)));
      }
    }
    const Result version = Exec("SELECT max(version) FROM porten_schema");
    const int v = std::stoi(version.Text(0, 0).value_or("0"));
    if (v > kSchemaVersion) {
      throw StoreError("the record store " + where_ + " has schema version " +
                       std::to_string(v) + "; this porten-cli reads up to " +
                       std::to_string(kSchemaVersion));
    }
    Exec("COMMIT");
  } catch (...) {
    PQfinish(conn_);
    conn_ = nullptr;
    throw;
  }
}

PgStore::~PgStore() { PQfinish(conn_); }

PgStore::Result PgStore::Exec(const std::string& sql,
                              const std::vector<std::optional<std::string>>& params) {
  std::vector<const char*> values;
  for (const auto& p : params) values.push_back(p ? p->c_str() : nullptr);
  Result result(PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                             values.data(), nullptr, nullptr, 0));
  const auto status = PQresultStatus(result.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    const std::string why = Trimmed(PQerrorMessage(conn_));
    // A failed transaction must not swallow the next statement.
    if (PQtransactionStatus(conn_) == PQTRANS_INERROR) {
      PQclear(PQexec(conn_, "ROLLBACK"));
    }
    throw StoreError("record store " + where_ + ": " + why);
  }
  return result;
}

Started PgStore::Begin(const Writer& writer, const AttemptStart& start,
                       const std::optional<Draw>& draw, const SentDigest& sent) {
  std::lock_guard lock(mu_);
  using detail::ToText;
  std::vector<std::optional<std::string>> params = {
      draw ? std::optional(draw->series) : std::nullopt,
      writer.station,
      ToText(writer.pid),
      ToText(writer.pidStart),
      start.port,
      start.device,
      start.usbSerial,
      start.image,
      start.imageSha256,
      IsoUtc(std::chrono::system_clock::now()),
      std::to_string(start.attempt)};
  // One commit for the draw, the row and the digest: what fails before it
  // draws nothing. The draw itself is one statement, so that no two
  // stations ever take the same number.
  Exec("BEGIN");
  try {
    Started started = OpenRow(params, draw);
    Exec("UPDATE porten_attempts SET sent_sha256 = $2 WHERE id = $1",
         {ToText(started.id), sent(started)});
    Exec("COMMIT");
    return started;
  } catch (...) {
    if (PQtransactionStatus(conn_) != PQTRANS_IDLE) PQclear(PQexec(conn_, "ROLLBACK"));
    if (draw) knownSeries_.erase(draw->series);  // its creation may have been rolled back
    throw;
  }
}

Started PgStore::OpenRow(std::vector<std::optional<std::string>> params, const std::optional<records::Draw>& draw) {
  using detail::ToText;
  constexpr char kColumns[] =
      "INSERT INTO porten_attempts (series, serial, station, pid, pid_start, port, device,"
      " usb_serial, image, image_sha256, started, attempt) ";
  constexpr char kValues[] = "$2, $3, $4, $5, $6, $7, $8, $9, $10, $11";
  Started started;
  if (!draw) {
    const Result r = Exec(std::string(kColumns) + "VALUES ($1, NULL, " + kValues + ") RETURNING id",
                          params);
    started.id = std::stoll(*r.Text(0, 0));
    return started;
  }
  if (!knownSeries_.contains(draw->series)) {
    // Creating the series draws nothing; the draw below is the one that counts.
    Exec("INSERT INTO porten_series VALUES ($1, $2) ON CONFLICT (name) DO NOTHING",
         {draw->series, ToText(static_cast<int64_t>(draw->first) - 1)});
    knownSeries_.insert(draw->series);
  }
  params.push_back(ToText(draw->max));
  const Result r = Exec(
      "WITH d AS (UPDATE porten_series SET last_drawn = last_drawn + 1"
      " WHERE name = $1 AND last_drawn < $12 RETURNING last_drawn) " +
          std::string(kColumns) + "SELECT $1, d.last_drawn, " + kValues +
          " FROM d RETURNING id, serial",
      params);
  if (r.Rows() == 1) {
    started.id = std::stoll(*r.Text(0, 0));
    started.serial = std::stoull(*r.Text(0, 1));
    return started;
  }
  const Result last = Exec("SELECT last_drawn FROM porten_series WHERE name = $1", {draw->series});
  if (last.Rows() == 0) {
    knownSeries_.erase(draw->series);  // dropped behind our back
    throw StoreError("record store " + where_ + ": series " + draw->series + " has gone");
  }
  const uint64_t next = std::stoull(*last.Text(0, 0)) + 1;
  throw DoesNotFit(next, "the next number of series " + draw->series + ", " +
                             std::to_string(next) + ", does not fit the serial number's format");
}

void PgStore::Finish(int64_t id, bool written, const std::string& result, int exit) {
  std::lock_guard lock(mu_);
  Exec("UPDATE porten_attempts SET ended = $2, result = $3, outcome = $4, exit = $5 WHERE id = $1",
       {detail::ToText(id), IsoUtc(std::chrono::system_clock::now()), result,
        std::string(detail::StoredOutcome(written)), std::to_string(exit)});
}

void PgStore::MarkInterrupted(const Writer& self) {
  std::lock_guard lock(mu_);
  const Result open = Exec(
      "SELECT id, pid, pid_start FROM porten_attempts WHERE outcome IS NULL AND station = $1",
      {self.station});
  for (int i = 0; i < open.Rows(); ++i) {
    const Writer w{self.station, std::stoll(*open.Text(i, 1)), std::stoll(*open.Text(i, 2))};
    if (w.Alive()) continue;
    Exec("UPDATE porten_attempts SET outcome = 'interrupted' WHERE id = $1 AND outcome IS NULL",
         {open.Text(i, 0)});
  }
}

std::vector<Row> PgStore::Rows(const RowFilter& filter, const Writer& self) {
  std::lock_guard lock(mu_);
  std::string sql = std::string("SELECT ") + detail::kRowColumns +
                    " FROM porten_attempts WHERE ($1::bigint IS NULL OR serial = $1::bigint)"
                    " AND ($2::text IS NULL OR series = $2::text)";
  std::vector<std::optional<std::string>> params = {
      filter.serial ? std::optional(detail::ToText(*filter.serial)) : std::nullopt,
      filter.series};
  const bool limit = filter.last && !filter.failedOnly;
  if (limit) {
    sql += " ORDER BY id DESC LIMIT $3";
    params.push_back(std::to_string(*filter.last));
  } else {
    sql += " ORDER BY id";
  }
  const Result select = Exec(sql, params);
  std::vector<Row> rows;
  for (int i = 0; i < select.Rows(); ++i) {
    Row r = detail::RowFrom([&](int c) { return select.Text(i, c); }, self);
    if (!filter.failedOnly || r.outcome == Outcome::kFailed ||
        r.outcome == Outcome::kInterrupted) {
      rows.push_back(std::move(r));
    }
  }
  if (limit) std::reverse(rows.begin(), rows.end());
  if (filter.last && rows.size() > *filter.last) rows.erase(rows.begin(), rows.end() - *filter.last);
  return rows;
}

std::vector<SeriesState> PgStore::Series() {
  std::lock_guard lock(mu_);
  const Result select = Exec("SELECT name, last_drawn FROM porten_series ORDER BY name");
  std::vector<SeriesState> series;
  for (int i = 0; i < select.Rows(); ++i) {
    const int64_t last = std::stoll(*select.Text(i, 1));
    SeriesState s{*select.Text(i, 0), std::nullopt};
    if (last < INT64_MAX) s.next = static_cast<uint64_t>(last + 1);
    series.push_back(std::move(s));
  }
  return series;
}

}  // namespace porten::records
