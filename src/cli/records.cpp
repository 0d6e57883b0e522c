// porten-cli records: reads the record store that write keeps with
// --records or --serial-at: a table of rows, every row as CSV for the line's
// own systems, and the series with their next numbers.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/commands.h"
#include "cli/run_records.h"
#include "records/store.h"

namespace porten::cli {

namespace {

constexpr char kRecordsHead[] =
    "Usage: porten-cli records [--records WHERE] list [--serial N] [--series NAME]\n"
    "                          [--last K] [--failed]\n"
    "       porten-cli records [--records WHERE] export --csv\n"
    "       porten-cli records [--records WHERE] series\n"
    "Reads the records that write keeps with --records or --serial-at: one row\n"
    "per board and attempt. list: the rows as a table, oldest first (--serial N,\n"
    "--series NAME, --last K, --failed: only failed and interrupted attempts);\n"
    "export --csv: every row as CSV, with a header line; series: each series and\n"
    "its next number.\n";
constexpr char kRecordsTail[] =
    "\n"
    "A row's outcome is written, failed, interrupted (its writer has gone\n"
    "without ending it) or running. Times are UTC.\n"
    "Exit status: 0 done, 1 usage error, 3 the store cannot be read.\n";
constexpr size_t kRecordsColumn = 19;

constexpr char kCsvHeader[] =
    "id,series,serial,station,pid,port,device,usb_serial,image,image_sha256,sent_sha256,started,"
    "ended,result,outcome,exit,attempt";

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


struct RecordsOptions {
  std::string where;
  std::string serial, series, last;
  bool failed = false, csv = false;
  CLI::App *list = nullptr, *exportCsv = nullptr, *series_ = nullptr;
};

int Records(const RecordsOptions& o, std::ostream& out, std::ostream& err) {
  try {
    const auto store = records::OpenStore(o.where.empty() ? records::DefaultStorePath() : o.where, false);
    const records::Writer self = records::Writer::Self();
    if (o.series_->parsed()) {
      out << "series  next\n";
      for (const auto& s : store->Series()) {
        out << s.name << "  " << (s.next ? std::to_string(*s.next) : "none left") << "\n";
      }
    } else if (o.exportCsv->parsed()) {
      PrintCsv(store->Rows({}, self), out);
    } else {
      records::RowFilter filter;
      if (!o.serial.empty()) filter.serial = records::ParseSerialNumber(o.serial);
      if (!o.series.empty()) filter.series = o.series;
      filter.failedOnly = o.failed;
      if (!o.last.empty()) filter.last = std::stoull(o.last);
      PrintTable(store->Rows(filter, self), out);
    }
  } catch (const records::StoreError& e) {
    err << "porten-cli records: " << e.what() << "\n";
    return kExitStore;
  }
  return kExitOk;
}

}  // namespace

Runner DeclareRecords(CLI::App& app) {
  auto o = std::make_shared<RecordsOptions>();
  args::SetHelp(app, kRecordsHead, kRecordsTail, kRecordsColumn);
  args::AddText(app, "--records", o->where, "WHERE",
                "a SQLite file, or a PostgreSQL URI (postgresql://...);\n"
                "default $XDG_STATE_HOME/porten/records.sqlite\n"
                "(~/.local/state/porten/records.sqlite)");
  app.require_subcommand(0, 1);
  app.final_callback([&app] {
    if (app.get_subcommands().empty()) throw CLI::ValidationError("give list, export or series");
  });
  o->list = app.add_subcommand("list", "the rows as a table, oldest first");
  o->list->fallthrough();
  o->list->add_option("--serial", o->serial, "only the rows of serial number N")
      ->type_name("N")
      ->check(CLI::Validator(
          [](std::string& v) -> std::string {
            return records::ParseSerialNumber(v) ? "" : "takes a number from 0 to 9223372036854775807";
          },
          ""));
  args::AddText(*o->list, "--series", o->series, "NAME", "only the rows of series NAME");
  args::AddNumber(*o->list, "--last", o->last, 1, INT32_MAX, "K", "only the last K rows");
  o->list->add_flag("--failed", o->failed, "only failed and interrupted attempts");
  o->exportCsv = app.add_subcommand("export", "every row as CSV, with a header line");
  o->exportCsv->fallthrough();
  o->exportCsv->add_flag("--csv", o->csv, "as CSV")->required();
  o->series_ = app.add_subcommand("series", "each series and its next number");
  o->series_->fallthrough();
  for (CLI::App* sub : {o->list, o->exportCsv, o->series_}) {
    // "records list --help" prints the whole command's help.
    sub->set_help_flag("-h,--help", "")->group("");
    sub->formatter(std::make_shared<args::HelpText>(kRecordsHead, kRecordsTail, kRecordsColumn));
  }
  return [o](std::ostream& out, std::ostream& err) { return Records(*o, out, err); };
}

}  // namespace porten::cli
