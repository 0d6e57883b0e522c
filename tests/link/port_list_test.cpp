// The port list on a fake /dev and /sys tree: which names count, their
// order, what is read for USB adapters, and the in-use mark.

#include "link/port_list.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/image_writer.h"

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

TEST(PortList, EmptyOrMissingDevDirGivesNoPorts) {
  FakeTree tree;
  EXPECT_TRUE(ListPorts(tree.places).empty());
  tree.places.devDir += "/missing";
  EXPECT_TRUE(ListPorts(tree.places).empty());
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

  auto ports = ListPorts(tree.places);
  ASSERT_EQ(ports.size(), 3u);
  EXPECT_FALSE(ports[0].usb);
  EXPECT_EQ(ports[1].name, "ttyUSB0");
  EXPECT_TRUE(ports[1].usb);
  EXPECT_EQ(ports[1].manufacturer, "FTDI");
  EXPECT_EQ(ports[1].serial, "A50285BI");
  EXPECT_TRUE(ports[2].usb);
  EXPECT_EQ(ports[2].vendorId, "2341");

  EXPECT_EQ(FormatPortLines(ports), (std::vector<std::string>{
                                        "ttyS0    " + tree.places.devDir + "/ttyS0",
                                        "ttyUSB0  " + tree.places.devDir +
                                            "/ttyUSB0  FTDI FT232R USB UART (0403:6001), serial "
                                            "A50285BI",
                                        "ttyACM3  " + tree.places.devDir +
                                            "/ttyACM3  USB adapter (2341:0043)",
                                    }));
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
