// Serial devices that appear in and vanish from directories such as
// /dev/serial/by-id, told by inotify rather than found by polling.
//
// A device is an entry that leads to a character device (udev's links, a
// simulated board's link). udev makes a link under a temporary name and
// renames it into place, so a rename into the directory counts as an
// arrival just as a creation does; a removal or a rename out of it counts as
// a departure. A directory that does not exist yet (no adapter was ever
// plugged in, or no udev on the machine) is waited for: its nearest existing
// parent is watched until it appears, and again should it be removed.
// Devices already in a directory when it is first watched, at Start or when
// it appears, are reported as arrivals.
//
// Threads: Start and Wait on one thread; Wake from any thread.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/unique_fd.h"

namespace porten {

class DeviceWatcher {
 public:
  struct Change {
    bool added;
    std::string path;  // dir + "/" + name, as the directory was given
    bool operator==(const Change&) const = default;
  };

  explicit DeviceWatcher(std::vector<std::string> dirs);
  DeviceWatcher(const DeviceWatcher&) = delete;
  DeviceWatcher& operator=(const DeviceWatcher&) = delete;

  // Sets up the watches. False, with the reason in *error, when inotify
  // cannot be used at all; a directory that cannot be watched is waited for.
  bool Start(std::string* error);
  // The changes since the last call, waiting up to timeoutMs (-1: until
  // there are some or Wake is called) when there are none yet.
  std::vector<Change> Wait(int timeoutMs);
  // Any thread: ends a Wait now.
  void Wake();

 private:
  struct Dir {
    std::string path;     // as given, without a trailing slash
    std::string watched;  // the directory itself, or its nearest existing parent
    int wd = -1;
    std::set<std::string> known;  // devices reported and not yet gone
  };

  void Resolve(size_t index);
  void Scan(size_t index);
  void Unwatch(size_t index);
  void ReadEvents();

  std::vector<Dir> dirs_;
  std::map<int, std::set<size_t>> byWd_;
  UniqueFd inotify_;
  UniqueFd wake_;
  std::vector<Change> changes_;
};

}  // namespace porten
