// The port list and port names on a fake /dev, /sys and /proc: which names
// count, their order, what is read for USB adapters, stable names, the
// in-use mark and who holds a port.

#include "link/port_list.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "link/link.h"
#include "link/port_holder.h"
#include "support/srec_writer.h"

namespace porten {
namespace {

namespace fs = std::filesystem;

class FakeTree {
 public:
  FakeTree() : root_(dir_.path()) {
    fs::create_directories(root_ / "dev");
    fs::create_directories(root_ / "sys/class/tty");
    places.devDir = (root_ / "dev").string();
    places.sysTtyDir = (root_ / "sys/class/tty").string();
    places.boardDir = (root_ / "boards").string();
  }
  // A device node stand-in: a regular file opens and locks like one.
  std::string Dev(const std::string& name) {
    Write(root_ / "dev" / name, "");
    return (root_ / "dev" / name).string();
  }
  void UartType(const std::string& name, int type) {
    fs::create_directories(root_ / "sys/class/tty" / name);
    Write(root_ / "sys/class/tty" / name / "type", std::to_string(type) + "\n");
  }
  // usbDevice holds idVendor etc.; the tty's device link points levelsBelow
  // directories under it, as the kernel lays out ttyUSB (2) and ttyACM (1).
  fs::path UsbAdapter(const std::string& name, const std::string& usbDevice, int levelsBelow) {
    fs::path usb = root_ / "sys/devices/pci0000:00/0000:00:14.0/usb1" / usbDevice;
    fs::path device = usb / (usbDevice + ":1.0");
    if (levelsBelow == 2) device /= name;
    fs::create_directories(device);
    fs::create_directories(root_ / "sys/class/tty" / name);
    fs::create_directory_symlink(device, root_ / "sys/class/tty" / name / "device");
    return usb;
  }
  static void Write(const fs::path& file, const std::string& text) {
    std::ofstream(file) << text;
  }
  void StableName(const std::string& kind, const std::string& name, const std::string& target) {
    fs::create_directories(root_ / "dev" / kind);
    fs::create_symlink("../../" + target, root_ / "dev" / kind / name);
  }
  fs::path root() const { return root_; }

  PortPlaces places;

 private:
  testing::TempDir dir_;
  fs::path root_;
};

std::vector<std::string> Names(const std::vector<PortInfo>& ports) {
  std::vector<std::string> names;
  for (const auto& p : ports) names.push_back(p.name);
  return names;
}

TEST(PortList, ListsSerialKindsInDialogOrderAndSkipsTheRest) {
  FakeTree tree;
  for (const char* name : {"ttyUSB10", "ttyACM0", "ttyS1", "ttyUSB2", "ttyS0", "ttySAC0",
                           "ttyAMA0", "tty0", "ttyS", "ttyUSBx", "console", "null", "rfcomm0"}) {
    tree.Dev(name);
  }
  tree.UartType("ttyS0", 4);
  tree.UartType("ttyS1", 0);  // no UART behind it

  EXPECT_EQ(Names(ListPorts(tree.places)),
            (std::vector<std::string>{"ttyS0", "ttyUSB2", "ttyUSB10", "ttyACM0", "ttyAMA0",
                                      "ttySAC0", "rfcomm0"}));
}

TEST(PortList, ReadsUsbAdapterDetailsFromTheUsbDevice) {
  FakeTree tree;
  tree.Dev("ttyUSB0");
  tree.Dev("ttyACM3");
  tree.Dev("ttyS0");
  tree.UartType("ttyS0", 4);
  fs::path ftdi = tree.UsbAdapter("ttyUSB0", "1-2", 2);
  FakeTree::Write(ftdi / "idVendor", "0403\n");
  FakeTree::Write(ftdi / "idProduct", "6001\n");
  FakeTree::Write(ftdi / "manufacturer", "FTDI\n");
  FakeTree::Write(ftdi / "product", "FT232R USB UART\n");
  FakeTree::Write(ftdi / "serial", "A50285BI\n");
  fs::path acm = tree.UsbAdapter("ttyACM3", "1-4", 1);  // says nothing but its ids
  FakeTree::Write(acm / "idVendor", "2341\n");
  FakeTree::Write(acm / "idProduct", "0043\n");
  tree.StableName("serial/by-path", "pci-0000:00:14.0-usb-0:2:1.0-port0", "ttyUSB0");
  tree.StableName("serial/by-id", "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "ttyUSB0");

  const std::string dev = tree.places.devDir;
  EXPECT_EQ(FormatPortLines(ListPorts(tree.places)),
            (std::vector<std::string>{
                "ttyS0    " + dev + "/ttyS0",
                "ttyUSB0  " + dev + "/ttyUSB0  FTDI FT232R USB UART (0403:6001), serial A50285BI",
                "         --port serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",
                "ttyACM3  " + dev + "/ttyACM3  USB adapter (2341:0043)",
            }));
  // The stable name is a name in /dev, as --port takes it; a relative name
  // that is not there is a path from here.
  const std::string byId = "serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
  EXPECT_EQ(dev + "/" + byId, DevicePath(byId, dev));
  EXPECT_EQ("serial/by-id/gone", DevicePath("serial/by-id/gone", dev));
  EXPECT_EQ("boards/ttySIM0", DevicePath("boards/ttySIM0", dev));
  EXPECT_EQ(dev + "/ttyUSB0", DevicePath("ttyUSB0", dev));
  EXPECT_EQ("/tmp/ttySIM0", DevicePath("/tmp/ttySIM0", dev));
}

TEST(PortList, PortLockedByAnotherDescriptorIsListedInUseWithItsHolder) {
  FakeTree tree;
  const std::string held = tree.Dev("ttyUSB0");
  tree.Dev("ttyUSB1");
  int fd = ::open(held.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);

  auto ports = ListPorts(tree.places);
  ::close(fd);
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_EQ(ports[0].availability, PortAvailability::kInUse);
  // The holder is this test process, found through the lock table.
  EXPECT_EQ(ports[0].holder.rfind(std::to_string(::getpid()) + " (", 0), 0u) << ports[0].holder;
  EXPECT_EQ(ports[1].availability, PortAvailability::kFree);
  EXPECT_EQ(ports[1].holder, "");

  // Free once the descriptor is gone.
  EXPECT_EQ(ListPorts(tree.places)[0].availability, PortAvailability::kFree);
}

TEST(PortList, SimulatedBoardsFollowTheRealPorts) {
  FakeTree tree;
  tree.Dev("ttyUSB0");
  ::mkdir(tree.places.boardDir.c_str(), 0700);
  fs::create_symlink("/dev/null", tree.places.boardDir + "/ttySIM0");  // a character device
  fs::create_symlink("/nonexistent", tree.places.boardDir + "/ttySIM1");  // stale: left out
  EXPECT_EQ(Names(ListPorts(tree.places)),
            (std::vector<std::string>{"ttyUSB0", tree.places.boardDir + "/ttySIM0"}));
  // Never from a directory others could have planted.
  ::chmod(tree.places.boardDir.c_str(), 0777);
  EXPECT_EQ(Names(ListPorts(tree.places)), std::vector<std::string>{"ttyUSB0"});
}

TEST(OpenFailureText, NamesTheHolderWhenKnownAndTheUsualSuspectsOtherwise) {
  const struct {
    OpenError error;
    const char* text;
  } cases[] = {
      {{OpenFailure::kBusy, "busy", "812 (minicom)"}, "/dev/x: the port is in use by 812 (minicom)."},
      {{OpenFailure::kBusy, "busy", ""},
       "/dev/x: the port is in use. Close the other program (ModemManager and brltty are common "
       "culprits)."},
      {{OpenFailure::kPermission, "denied", ""},
       "/dev/x: permission denied. Add yourself to the dialout group (sudo usermod -aG dialout "
       "$USER), then log in again."},
      {{OpenFailure::kNotFound, "gone", ""}, "/dev/x: no such device (is the adapter plugged in?)"},
      {{OpenFailure::kOther, "Is a directory", ""}, "/dev/x: cannot open: Is a directory"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.text, DescribeOpenFailure("/dev/x", c.error));
}

// Who holds a port, from a made-up /proc.
TEST(PortHolder, FlockHolderComesFirstThenOpenDescriptors) {
  testing::TempDir dir;
  const fs::path root = dir.path();
  const std::string device = (root / "device").string();
  std::ofstream(device) << "x";
  auto process = [&](long pid, const std::string& comm, bool holds) {
    fs::create_directories(root / std::to_string(pid) / "fd");
    std::ofstream(root / std::to_string(pid) / "comm") << comm << "\n";
    fs::create_symlink(holds ? device : "/dev/null", root / std::to_string(pid) / "fd" / "3");
  };
  process(4100, "minicom", true);
  process(4200, "ModemManager", true);
  process(4300, "bash", false);
  EXPECT_EQ("4100 (minicom), 4200 (ModemManager)", FindPortHolder(device, root.string()));

  // A waiter on the lock is no holder; the lock's owner is named alone.
  struct stat st {};
  ::stat(device.c_str(), &st);
  char where[64];
  std::snprintf(where, sizeof where, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long>(st.st_ino));
  std::ofstream(root / "locks") << "1: POSIX  ADVISORY  WRITE 4300 00:00:1 0 EOF\n"
                                << "2: -> FLOCK  ADVISORY  WRITE 4100 " << where << " 0 EOF\n"
                                << "2: FLOCK  ADVISORY  WRITE 4200 " << where << " 0 EOF\n";
  EXPECT_EQ("4200 (ModemManager)", FindPortHolder(device, root.string()));
  EXPECT_EQ("", FindPortHolder((root / "gone").string(), root.string()));
}

struct FormatCase {
  const char* label;
  PortInfo port;
  std::string line;
};

class PortLineFormat : public ::testing::TestWithParam<FormatCase> {};

TEST_P(PortLineFormat, WholeLine) {
  EXPECT_EQ(FormatPortLines({GetParam().port}), std::vector<std::string>{GetParam().line});
}

PortInfo Port(PortAvailability a, const std::string& holder, bool usb = false) {
  PortInfo p;
  p.name = "ttyUSB0";
  p.path = "/dev/ttyUSB0";
  p.availability = a;
  p.holder = holder;
  if (usb) {
    p.usb = true;
    p.vendorId = "067b";
    p.productId = "2303";
    p.product = "USB-Serial Controller";
  }
  return p;
}

INSTANTIATE_TEST_SUITE_P(
    Marks, PortLineFormat,
    ::testing::Values(
        FormatCase{"Free", Port(PortAvailability::kFree, ""), "ttyUSB0  /dev/ttyUSB0"},
        FormatCase{"InUseByKnownProcess", Port(PortAvailability::kInUse, "812 (ModemManager)"),
                   "ttyUSB0  /dev/ttyUSB0  [in use by 812 (ModemManager)]"},
        FormatCase{"InUseByUnknown", Port(PortAvailability::kInUse, ""),
                   "ttyUSB0  /dev/ttyUSB0  [in use]"},
        FormatCase{"NoPermission", Port(PortAvailability::kNoPermission, ""),
                   "ttyUSB0  /dev/ttyUSB0  [no permission: join the dialout group]"},
        FormatCase{"UsbProductOnlyAndInUse", Port(PortAvailability::kInUse, "77 (brltty)", true),
                   "ttyUSB0  /dev/ttyUSB0  USB-Serial Controller (067b:2303)  "
                   "[in use by 77 (brltty)]"}),
    [](const ::testing::TestParamInfo<FormatCase>& info) { return info.param.label; });

}  // namespace
}  // namespace porten
