// porten-cli records: reads the record store that write keeps with
// --records or --serial-at: a table of rows, every row as CSV for the line's
// own systems, and the series with their next numbers.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/run_records.h"
#include "records/store.h"

namespace porten::cli {

namespace {

constexpr char kRecordsHelp[] =
    "Usage: porten-cli records [--records WHERE] list [--serial N] [--series NAME]\n"
    "                          [--last K] [--failed]\n"
    "       porten-cli records [--records WHERE] export --csv\n"
    "       porten-cli records [--records WHERE] series\n"
    "Reads the records that write keeps with --records or --serial-at: one row\n"
    "per board and attempt.\n"
    "\n"
    "  --records WHERE  a SQLite file, or a PostgreSQL URI (postgresql://...);\n"
    "                   default $XDG_STATE_HOME/porten/records.sqlite\n"
    "                   (~/.local/state/porten/records.sqlite)\n"
    "  list             the rows as a table, oldest first\n"
    "    --serial N     only the rows of serial number N\n"
    "    --series NAME  only the rows of series NAME\n"
    "    --last K       only the last K rows\n"
    "    --failed       only failed and interrupted attempts\n"
    "  export --csv     every row as CSV, with a header line\n"
    "  series           each series and its next number\n"
    "\n"
    "A row's outcome is written, failed, interrupted (its writer has gone\n"
    "without ending it) or running. Times are UTC.\n"
    "Exit status: 0 done, 1 usage error, 3 the store cannot be read.\n";

constexpr char kCsvHeader[] =
    "id,series,serial,station,pid,port,device,usb_serial,image,image_sha256,sent_sha256,started,"
    "ended,result,outcome,exit,attempt";

int UsageError(std::ostream& err, const std::string& what) {
  err << "porten-cli records: " << what << "\n" << kRecordsHelp;
  return kExitUsage;
}

// A CSV field as RFC 4180 quotes it.
std::string Csv(const std::string& field) {
  if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
  std::string quoted = "\"";
  for (char c : field) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string SerialText(const records::Row& r) {
  return r.serial ? std::to_string(*r.serial) : std::string();
}

void PrintTable(const std::vector<records::Row>& rows, std::ostream& out) {
  // The result comes last: it is the one column of full-width text.
  const std::vector<std::string> head = {"id",   "series",  "serial",  "station", "port",
                                         "started", "outcome", "exit", "result"};
  std::vector<std::vector<std::string>> cells = {head};
  for (const auto& r : rows) {
    cells.push_back({std::to_string(r.id), r.series.value_or("-"), r.serial ? SerialText(r) : "-",
                     r.station, r.port, r.started, records::OutcomeName(r.outcome),
                     r.exit ? std::to_string(*r.exit) : "-", r.result.value_or("")});
  }
  std::vector<size_t> width(head.size(), 0);
  for (const auto& row : cells) {
    for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
  }
  for (const auto& row : cells) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(width[i] - row[i].size() + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out << line << "\n";
  }
}

void PrintCsv(const std::vector<records::Row>& rows, std::ostream& out) {
  out << kCsvHeader << "\n";
  for (const auto& r : rows) {
    const std::vector<std::string> fields = {
        std::to_string(r.id), r.series.value_or(""), SerialText(r), r.station,
        std::to_string(r.pid), r.port, r.device, r.usbSerial.value_or(""), r.image,
        r.imageSha256, r.sentSha256.value_or(""), r.started, r.ended.value_or(""),
        r.result.value_or(""), records::OutcomeName(r.outcome),
        r.exit ? std::to_string(*r.exit) : "", std::to_string(r.attempt)};
    std::string line;
    for (const auto& f : fields) line += (line.empty() ? "" : ",") + Csv(f);
    out << line << "\n";
  }
}

}  // namespace

int RunRecords(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string where, action, series;
  std::optional<uint64_t> serial;
  std::optional<size_t> last;
  bool failed = false, csv = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&]() -> const std::string* { return i + 1 < args.size() ? &args[++i] : nullptr; };
    if (arg == "--help" || arg == "-h") {
      out << kRecordsHelp;
      return kExitOk;
    } else if (arg == "--records") {
      const std::string* v = value();
      if (!v || v->empty()) return UsageError(err, "--records needs a file name or a URI");
      where = *v;
    } else if (arg == "--serial" && action == "list") {
      const std::string* v = value();
      serial = v ? records::ParseSerialNumber(*v) : std::nullopt;
      if (!serial) return UsageError(err, "--serial takes a number from 0 to 9223372036854775807");
    } else if (arg == "--series" && action == "list") {
      const std::string* v = value();
      if (!v || v->empty()) return UsageError(err, "--series needs a name");
      series = *v;
    } else if (arg == "--last" && action == "list") {
      const std::string* v = value();
      const auto k = v ? records::ParseSerialNumber(*v) : std::nullopt;
      if (!k || *k == 0) return UsageError(err, "--last takes a number of rows from 1");
      last = static_cast<size_t>(*k);
    } else if (arg == "--failed" && action == "list") {
      failed = true;
    } else if (arg == "--csv" && action == "export") {
      csv = true;
    } else if (action.empty() && (arg == "list" || arg == "export" || arg == "series")) {
      action = arg;
    } else if (arg.starts_with("-")) {
      return UsageError(err, "unknown option " + arg + (action.empty() ? "" : " for " + action));
    } else {
      return UsageError(err, "unknown action " + arg);
    }
  }
  if (action.empty()) return UsageError(err, "give list, export or series");
  if (action == "export" && !csv) return UsageError(err, "export needs --csv");

  try {
    const auto store =
        records::OpenStore(where.empty() ? records::DefaultStorePath() : where, false);
    const records::Writer self = records::Writer::Self();
    if (action == "series") {
      out << "series  next\n";
      for (const auto& s : store->Series()) {
        out << s.name << "  " << (s.next ? std::to_string(*s.next) : "none left") << "\n";
      }
    } else if (action == "export") {
      PrintCsv(store->Rows({}, self), out);
    } else {
      records::RowFilter filter;
      filter.serial = serial;
      if (!series.empty()) filter.series = series;
      filter.failedOnly = failed;
      filter.last = last;
      PrintTable(store->Rows(filter, self), out);
    }
  } catch (const records::StoreError& e) {
    err << "porten-cli records: " << e.what() << "\n";
    return kExitStore;
  }
  return kExitOk;
}

}  // namespace porten::cli
