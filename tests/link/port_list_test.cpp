// The port list and port names on a fake /dev, /sys and /proc: which names
// count and in which order, what is read for USB adapters, stable names,
// simulated boards, the in-use mark and who holds a port.
#include "link/port_list.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "core/unique_fd.h"
#include "link/link.h"
#include "link/port_holder.h"
#include "support/image_writer.h"

namespace porten {
namespace {

namespace fs = std::filesystem;

void Write(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text;
}

TEST(PortList, KindsInOrderUsbDetailsStableNamesInUseAndSimulatedBoards) {
  testing::TempDir dir;
  const fs::path root = dir.path();
  const PortPlaces places{(root / "dev").string(), (root / "sys/class/tty").string(), "/proc",
                          (root / "boards").string()};
  // Device stand-ins: regular files open and lock like nodes.
  for (const char* name : {"ttyUSB2", "ttyS1", "ttyUSB10", "ttyUSB1", "ttyS0", "ttySAC0", "tty0", "ttyUSBx", "rfcomm0"}) {
    Write(root / "dev" / name, "");
  }
  Write(root / "sys/class/tty/ttyS0/type", "4\n");
  Write(root / "sys/class/tty/ttyS1/type", "0\n");  // no UART behind it
  // A USB device: the tty sits two levels below it.
  const fs::path usb = root / "sys/devices/pci0000:00/usb1/1-2";
  fs::create_directories(usb / "1-2:1.0/ttyUSB2");
  fs::create_directories(root / "sys/class/tty/ttyUSB2");
  fs::create_directory_symlink(usb / "1-2:1.0/ttyUSB2", root / "sys/class/tty/ttyUSB2/device");
  for (const auto& [file, text] : std::vector<std::pair<const char*, const char*>>{
           {"idVendor", "0403\n"}, {"idProduct", "6001\n"}, {"manufacturer", "FTDI\n"},
           {"product", "FT232R USB UART\n"}, {"serial", "A50285BI\n"}}) {
    Write(usb / file, text);
  }
  const std::string byId = "serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
  fs::create_directories(root / "dev/serial/by-id");
  fs::create_symlink("../../ttyUSB2", root / "dev" / byId);
  ::mkdir(places.boardDir.c_str(), 0700);
  fs::create_symlink("/dev/null", places.boardDir + "/ttySIM0");    // a character device
  fs::create_symlink("/nonexistent", places.boardDir + "/ttySIM1");  // stale: left out

  // In use: ttyUSB10 locked, ttySAC0 open without a lock.
  const UniqueFd locked(::open((root / "dev/ttyUSB10").c_str(), O_RDWR | O_CLOEXEC));
  ASSERT_EQ(0, ::flock(locked.get(), LOCK_EX | LOCK_NB));
  const UniqueFd unlocked(::open((root / "dev/ttySAC0").c_str(), O_RDWR | O_CLOEXEC));
  auto ports = ListPorts(places);

  const std::string dev = places.devDir;
  const std::string board = places.boardDir + "/ttySIM0";
  auto row = [&](const std::string& name, const std::string& path, const std::string& rest) {
    std::string line = name + std::string(board.size() + 2 - name.size(), ' ') + path;
    if (!rest.empty()) line += std::string(dev.size() + 11 - path.size(), ' ') + rest;
    return line;
  };
  std::string comm;
  std::getline(std::ifstream("/proc/self/comm"), comm);
  const std::string inUse = "[in use by " + std::to_string(::getpid()) + " (" + comm + ")]";
  ports.at(0).availability = PortAvailability::kNoPermission;  // root cannot be refused
  EXPECT_EQ((std::vector<std::string>{
                row("ttyS0", dev + "/ttyS0", "[no permission: join the dialout group]"),
                row("ttyUSB1", dev + "/ttyUSB1", ""),
                row("ttyUSB2", dev + "/ttyUSB2", "FTDI FT232R USB UART (0403:6001), serial A50285BI"),
                std::string(board.size() + 2, ' ') + "--port " + byId,
                row("ttyUSB10", dev + "/ttyUSB10", inUse),
                row("ttySAC0", dev + "/ttySAC0", inUse),
                row("rfcomm0", dev + "/rfcomm0", ""),
                row(board, "/dev/null", "simulated board"),
            }),
            FormatPortLines(ports));
  EXPECT_EQ("A50285BI", UsbSerialOf(dev + "/" + byId, places));
  EXPECT_EQ(dev + "/" + byId, DevicePath(byId, dev));  // --port takes the stable name as a name in /dev

  // Boards are never listed from a directory others could have planted.
  ::chmod(places.boardDir.c_str(), 0777);
  EXPECT_EQ(6u, ListPorts(places).size());
}

// The holder when known; the group that grants access.
TEST(OpenFailureText, NamesTheHolderAndTheDialoutGroup) {
  EXPECT_EQ("/dev/x: the port is in use by 812 (minicom).",
            DescribeOpenFailure("/dev/x", {OpenFailure::kBusy, "busy", "812 (minicom)"}));
  EXPECT_NE(std::string::npos,
            DescribeOpenFailure("/dev/x", {OpenFailure::kPermission, "denied", ""}).find("the dialout group"));
}

// Who holds a port, from a made-up /proc.
TEST(PortHolder, FlockHolderComesFirstThenOpenDescriptors) {
  testing::TempDir dir;
  const fs::path root = dir.path();
  const std::string device = (root / "device").string();
  Write(device, "x");
  for (const auto& [pid, comm, holds] : {std::tuple{4100, "minicom", true},
                                        std::tuple{4200, "ModemManager", true},
                                        std::tuple{4300, "bash", false}}) {
    Write(root / std::to_string(pid) / "comm", std::string(comm) + "\n");
    fs::create_directories(root / std::to_string(pid) / "fd");
    fs::create_symlink(holds ? device : "/dev/null", root / std::to_string(pid) / "fd" / "3");
  }
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

}  // namespace
}  // namespace porten
