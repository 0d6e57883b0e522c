#include "link/device_watcher.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace porten {

namespace {

constexpr uint32_t kDirMask = IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF |
                              IN_MOVE_SELF | IN_ONLYDIR | IN_MASK_ADD;

bool IsDevice(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Parent(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

DeviceWatcher::DeviceWatcher(std::vector<std::string> dirs) {
  for (std::string& d : dirs) {
    while (d.size() > 1 && d.back() == '/') d.pop_back();
    if (std::none_of(dirs_.begin(), dirs_.end(), [&](const Dir& x) { return x.path == d; })) {
      dirs_.push_back(Dir{d, "", -1, {}});
    }
  }
}

bool DeviceWatcher::Start(std::string* error) {
  inotify_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  wake_.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!inotify_ || !wake_) {
    *error = std::string("cannot watch for devices: ") + std::strerror(errno);
    return false;
  }
  for (size_t i = 0; i < dirs_.size(); ++i) Resolve(i);
  return true;
}

void DeviceWatcher::Unwatch(size_t index) {
  Dir& d = dirs_[index];
  if (d.wd < 0) return;
  auto it = byWd_.find(d.wd);
  if (it != byWd_.end()) {
    it->second.erase(index);
    if (it->second.empty()) {
      ::inotify_rm_watch(inotify_.get(), d.wd);
      byWd_.erase(it);
    }
  }
  d.wd = -1;
}

// Watches the directory, or the nearest parent that exists; a parent that
// cannot be watched (no permission) is passed for the next one up.
void DeviceWatcher::Resolve(size_t index) {
  Unwatch(index);
  Dir& d = dirs_[index];
  for (std::string at = d.path;; at = Parent(at)) {
    if (IsDirectory(at)) {
      const int wd = ::inotify_add_watch(inotify_.get(), at.c_str(), kDirMask);
      if (wd >= 0) {
        d.watched = at;
        d.wd = wd;
        byWd_[wd].insert(index);
        break;
      }
    }
    if (at == "/" || at == ".") return;  // nothing to watch: waits for nothing
  }
  // Listed after the watch is set, so nothing made in between is missed; the
  // set of known devices drops what the events then report again.
  if (d.watched == d.path) Scan(index);
}

// Compares the directory's devices with the known ones.
void DeviceWatcher::Scan(size_t index) {
  Dir& d = dirs_[index];
  std::set<std::string> now;
  if (DIR* dir = ::opendir(d.path.c_str())) {
    while (dirent* e = ::readdir(dir)) {
      const std::string path = d.path + "/" + e->d_name;
      if (e->d_name[0] != '.' && IsDevice(path)) now.insert(path);
    }
    ::closedir(dir);
  }
  for (const std::string& gone : d.known) {
    if (!now.count(gone)) changes_.push_back({false, gone});
  }
  for (const std::string& path : now) {
    if (!d.known.count(path)) changes_.push_back({true, path});
  }
  d.known = std::move(now);
}

void DeviceWatcher::ReadEvents() {
  alignas(inotify_event) char buffer[8192];
  std::set<size_t> resolve;
  std::set<size_t> rescan;
  for (;;) {
    const ssize_t n = ::read(inotify_.get(), buffer, sizeof buffer);
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      if (e->mask & IN_Q_OVERFLOW) {
        // Events were lost: look at every directory afresh.
        for (size_t i = 0; i < dirs_.size(); ++i) resolve.insert(i);
        continue;
      }
      auto it = byWd_.find(e->wd);
      if (it == byWd_.end()) continue;
      const std::string name = e->len ? e->name : "";
      for (size_t i : it->second) {
        Dir& d = dirs_[i];
        if (e->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
          resolve.insert(i);
        } else if (d.watched != d.path) {
          // A parent: a new directory there may be (the way to) ours.
          if (e->mask & (IN_CREATE | IN_MOVED_TO)) resolve.insert(i);
        } else if (!name.empty() && name[0] != '.') {
          const std::string path = d.path + "/" + name;
          if (e->mask & (IN_CREATE | IN_MOVED_TO)) {
            if (IsDevice(path) && d.known.insert(path).second) changes_.push_back({true, path});
          } else if (e->mask & (IN_DELETE | IN_MOVED_FROM)) {
            if (d.known.erase(path)) changes_.push_back({false, path});
            // A link renamed over another leaves the name: still there.
            if (IsDevice(path)) rescan.insert(i);
          }
        }
      }
    }
  }
  for (size_t i : resolve) {
    Dir& d = dirs_[i];
    if (d.wd >= 0 && d.watched == d.path && !IsDirectory(d.path)) {
      for (const std::string& gone : d.known) changes_.push_back({false, gone});
      d.known.clear();
    }
    // Our directory gone, or a parent's child made: watch again from there.
    Resolve(i);
  }
  for (size_t i : rescan) {
    if (dirs_[i].watched == dirs_[i].path) Scan(i);
  }
}

std::vector<DeviceWatcher::Change> DeviceWatcher::Wait(int timeoutMs) {
  ReadEvents();
  if (changes_.empty()) {
    pollfd fds[2] = {{inotify_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    int ready;
    do {
      ready = ::poll(fds, 2, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready > 0 && (fds[1].revents & POLLIN)) {
      uint64_t drained = 0;
      [[maybe_unused]] ssize_t n = ::read(wake_.get(), &drained, sizeof drained);
    }
    ReadEvents();
  }
  return std::exchange(changes_, {});
}

void DeviceWatcher::Wake() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wake_.get(), &one, sizeof one);
}

}  // namespace porten
