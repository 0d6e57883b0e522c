// The write log: one JSON object per board and write, appended as JSON Lines.
// nlohmann::json does the quoting and escaping; the file handling is ours,
// since each line must reach the disk as soon as its board has ended.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
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

namespace {

// Whole lines, each with its line end, in one write, then synced; errno
// tells why not.
bool AppendLines(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  // One write: with O_APPEND, lines of boards that end together never mix.
  ssize_t n;
  do {
    n = ::write(fd, text.data(), text.size());
  } while (n < 0 && errno == EINTR);
  if (n >= 0 && n != static_cast<ssize_t>(text.size())) errno = ENOSPC;
  const bool ok = n == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
  const int why = errno;
  const bool closed = ::close(fd) == 0;
  if (!ok) errno = why;
  return closed && ok;
}

}  // namespace

bool AppendLogLine(const std::string& path, const std::string& line) { return AppendLines(path, line + "\n"); }

LogWriter::LogWriter(std::string path) : path_(std::move(path)), thread_([this] { Run(); }) {}

LogWriter::~LogWriter() {
  {
    std::lock_guard lock(mu_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void LogWriter::Append(std::string line) {
  {
    std::lock_guard lock(mu_);
    queued_ += line + "\n";
  }
  changed_.notify_all();
}

void LogWriter::Flush() {
  std::unique_lock lock(mu_);
  changed_.wait(lock, [&] { return queued_.empty() && !writing_; });
}

std::string LogWriter::TakeError() {
  std::lock_guard lock(mu_);
  return std::exchange(error_, "");
}

void LogWriter::Run() {
  std::unique_lock lock(mu_);
  for (;;) {
    changed_.wait(lock, [&] { return stop_ || !queued_.empty(); });
    if (queued_.empty()) return;  // stopping, every line written
    // Every line queued so far goes in one write and one sync.
    const std::string text = std::exchange(queued_, "");
    writing_ = true;
    lock.unlock();
    const bool ok = AppendLines(path_, text);
    const int why = errno;
    lock.lock();
    writing_ = false;
    if (!ok && !failed_) {
      failed_ = true;
      error_ = "cannot append to the log " + path_ + ": " + std::strerror(why);
    }
    changed_.notify_all();
  }
}

}  // namespace porten::cli
