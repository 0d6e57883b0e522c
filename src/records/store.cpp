#include "records/store.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

#include "records/pg_store.h"
#include "records/sqlite_store.h"
#include "records/store_common.h"

namespace porten::records {

namespace {

// Field 22 of /proc/PID/stat: the process's start, in clock ticks after
// boot; 0 when it cannot be read. The name in field 2 may hold spaces and
// parentheses, so the count starts after its last ")".
int64_t StartOf(int64_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return 0;
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
    if (i == 22) return std::strtoll(field.c_str(), nullptr, 10);
  }
  return 0;
}

}  // namespace

Writer Writer::Self() {
  Writer w;
  char host[HOST_NAME_MAX + 1] = {};
  if (::gethostname(host, sizeof host - 1) == 0) w.station = host;
  w.pid = ::getpid();
  w.pidStart = StartOf(w.pid);
  return w;
}

bool Writer::Alive() const {
  if (pid <= 0 || pid > INT_MAX) return false;
  if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
  // The pid may have been given to another process since.
  return pidStart == 0 || StartOf(pid) == pidStart;
}

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kWritten:
      return "written";
    case Outcome::kFailed:
      return "failed";
    case Outcome::kInterrupted:
      return "interrupted";
    case Outcome::kRunning:
      break;
  }
  return "running";
}

std::string IsoUtc(std::chrono::system_clock::time_point t) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch());
  const std::time_t seconds = static_cast<std::time_t>(ms.count() / 1000);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char text[40];
  const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms.count() % 1000));
  return text;
}

std::string DefaultStorePath() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state && *state == '/') return std::string(state) + "/porten/records.sqlite";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.local/state/porten/records.sqlite";
}

std::unique_ptr<Store> OpenStore(const std::string& where, bool create) {
  if (where.starts_with("postgresql://") || where.starts_with("postgres://")) {
    return std::make_unique<PgStore>(where);
  }
  return std::make_unique<SqliteStore>(where, create);
}

namespace detail {

std::string SchemaSql(const std::string& idColumn) {
  return "CREATE TABLE porten_series ("
         " name TEXT PRIMARY KEY,"
         " last_drawn BIGINT NOT NULL);"
         "CREATE TABLE porten_attempts ("
         " id " + idColumn + ","
         " series TEXT, serial BIGINT,"
         " station TEXT NOT NULL, pid BIGINT NOT NULL, pid_start BIGINT NOT NULL,"
         " port TEXT NOT NULL, device TEXT NOT NULL, usb_serial TEXT,"
         " image TEXT NOT NULL, image_sha256 TEXT NOT NULL, sent_sha256 TEXT,"
         " started TEXT NOT NULL, ended TEXT, result TEXT,"
         " outcome TEXT CHECK (outcome IN ('written', 'failed', 'interrupted')),"
         " exit INTEGER, attempt INTEGER NOT NULL,"
         " UNIQUE (series, serial));"
         "CREATE INDEX porten_attempts_open ON porten_attempts (station) WHERE outcome IS NULL;";
}

const char kRowColumns[] =
    "id, series, serial, station, pid, pid_start, port, device, usb_serial, image, image_sha256,"
    " sent_sha256, started, ended, result, outcome, exit, attempt";

Row RowFrom(const std::function<std::optional<std::string>(int)>& column, const Writer& self) {
  auto text = [&](int i) { return column(i).value_or(""); };
  auto number = [&](int i) { return std::strtoll(text(i).c_str(), nullptr, 10); };
  Row r;
  r.id = number(0);
  r.series = column(1);
  if (auto s = column(2)) r.serial = std::strtoull(s->c_str(), nullptr, 10);
  r.station = text(3);
  r.pid = number(4);
  const int64_t pidStart = number(5);
  r.port = text(6);
  r.device = text(7);
  r.usbSerial = column(8);
  r.image = text(9);
  r.imageSha256 = text(10);
  r.sentSha256 = column(11);
  r.started = text(12);
  r.ended = column(13);
  r.result = column(14);
  if (auto e = column(16)) r.exit = static_cast<int>(std::strtol(e->c_str(), nullptr, 10));
  r.attempt = static_cast<int>(number(17));
  const auto outcome = column(15);
  if (outcome == "written") {
    r.outcome = Outcome::kWritten;
  } else if (outcome == "failed") {
    r.outcome = Outcome::kFailed;
  } else if (outcome == "interrupted") {
    r.outcome = Outcome::kInterrupted;
  } else {
    // Open: only the writer's own host can tell whether it still runs.
    const Writer writer{r.station, r.pid, pidStart};
    r.outcome = r.station == self.station && !writer.Alive() ? Outcome::kInterrupted
                                                              : Outcome::kRunning;
  }
  return r;
}

const char* StoredOutcome(bool written) { return written ? "written" : "failed"; }

std::string ToText(uint64_t n) { return std::to_string(n); }
std::string ToText(int64_t n) { return std::to_string(n); }

}  // namespace detail

}  // namespace porten::records
