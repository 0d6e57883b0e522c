// The write log: one JSON object per board and write, appended as JSON Lines.
// nlohmann::json does the quoting and escaping; the file handling is ours,
// since each line must reach the disk before the next board's can.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <ctime>
#include <nlohmann/json.hpp>

#include "cli/write.h"
#include "records/store.h"

namespace porten::cli {

namespace {

template <typename T>
nlohmann::json OrNull(const std::optional<T>& value) {
  return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

}  // namespace

std::string LogLine(const LogEntry& e) {
  nlohmann::ordered_json j;
  j["time"] = records::IsoUtc(e.start);
  j["port"] = e.port;
  j["device"] = e.device;
  j["usb_serial"] = OrNull(e.usbSerial);
  j["mode"] = e.ram ? "ram" : "boot";
  j["image"] = e.image;
  j["loader"] = OrNull(e.loader);
  j["image_sha256"] = OrNull(e.imageSha256);
  j["loader_sha256"] = OrNull(e.loaderSha256);
  j["serial"] = OrNull(e.serial);
  j["sent_sha256"] = OrNull(e.sentSha256);
  j["base"] = OrNull(e.base);
  j["length"] = OrNull(e.length);
  j["result"] = e.result;
  j["exit"] = e.exit;
  j["seconds"] = std::round(e.seconds * 1000) / 1000;
  if (e.attempt) j["attempt"] = *e.attempt;
  // Paths need not be UTF-8; replace what is not rather than fail.
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool AppendLogLine(const std::string& path, const std::string& line) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const std::string text = line + "\n";
  // One write: with O_APPEND, lines of boards that end together never mix.
  ssize_t n;
  do {
    n = ::write(fd, text.data(), text.size());
  } while (n < 0 && errno == EINTR);
  const bool ok = n == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
  return ::close(fd) == 0 && ok;
}

}  // namespace porten::cli
