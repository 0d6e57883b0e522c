// The device watcher on a real directory tree: devices there at the start,
// links made in place and renamed into place as udev does, removed, a
// directory that appears (with a device already in it) and vanishes, and
// entries that are no devices.
#include "link/device_watcher.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/image_writer.h"

namespace porten {
namespace {

namespace fs = std::filesystem;
using Changes = std::vector<DeviceWatcher::Change>;

// Waits for n changes, each wait bounded; fewer come back when they do not.
Changes Take(DeviceWatcher& w, size_t n) {
  Changes got;
  while (got.size() < n) {
    Changes more = w.Wait(5000);
    if (more.empty()) break;
    got.insert(got.end(), more.begin(), more.end());
  }
  return got;
}

TEST(DeviceWatcher, ReportsArrivalsAndDeparturesAndWaitsForMissingDirectories) {
  testing::TempDir tmp;
  const fs::path root = tmp.path(), present = root / "present", byId = root / "dev/serial/by-id";
  fs::create_directories(present);
  fs::create_symlink("/dev/null", present / "old");
  std::ofstream(present / "file") << "no device";
  fs::create_symlink(root / "none", present / "stale");
  DeviceWatcher w({present.string() + "/", byId.string()});
  std::string error;
  ASSERT_TRUE(w.Start(&error)) << error;
  const std::string p = present.string(), b = byId.string();
  EXPECT_EQ(Take(w, 1), (Changes{{true, p + "/old"}}));

  // The missing directory appears, already holding a device (renamed into
  // place as a whole), then gets one renamed in and one made in place.
  fs::create_directories(root / "staging/by-id");
  fs::create_symlink("/dev/null", root / "staging/by-id/usb-A");
  fs::create_directories(root / "dev/serial");
  fs::rename(root / "staging/by-id", byId);
  EXPECT_EQ(Take(w, 1), (Changes{{true, b + "/usb-A"}}));
  fs::create_symlink("/dev/null", root / "staging/usb-B");
  fs::rename(root / "staging/usb-B", byId / "usb-B");
  fs::create_symlink("/dev/null", present / "new");
  EXPECT_EQ(Take(w, 2), (Changes{{true, b + "/usb-B"}, {true, p + "/new"}}));

  // Removed, renamed away, and the directory gone with what is left in it.
  fs::remove(present / "new");
  fs::rename(byId / "usb-B", root / "staging/usb-B");
  EXPECT_EQ(Take(w, 2), (Changes{{false, p + "/new"}, {false, b + "/usb-B"}}));
  fs::remove_all(root / "dev");
  EXPECT_EQ(Take(w, 1), (Changes{{false, b + "/usb-A"}}));
  // ... and watched for again: made afresh, its device is new again.
  fs::create_directories(byId);
  fs::create_symlink("/dev/null", byId / "usb-A");
  EXPECT_EQ(Take(w, 1), (Changes{{true, b + "/usb-A"}}));
  w.Wake();
  EXPECT_EQ(w.Wait(-1), Changes{});
}

}  // namespace
}  // namespace porten
