// The port probe and the boot file list, on directories the test lays out.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <QTemporaryDir>

#include "app/boot_files.h"
#include "app/port_probe.h"
#include "app_test_util.h"

namespace porten::app::testing {
namespace {

class ProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.isValid());
    ASSERT_TRUE(QDir(root_.path()).mkpath("dev"));
    ASSERT_TRUE(QDir(root_.path()).mkpath("sys"));
    places_.devDir = root_.filePath("dev").toStdString();
    places_.sysTtyDir = root_.filePath("sys").toStdString();
  }
  void Device(const char* name) { WriteFile(places_.devDir + "/" + name, ""); }
  void SysType(const char* name, const char* type) {
    ASSERT_TRUE(QDir(QString::fromStdString(places_.sysTtyDir)).mkpath(name));
    WriteFile(places_.sysTtyDir + "/" + name + "/type", type);
  }

  QTemporaryDir root_;
  ProbePlaces places_;
};

TEST_F(ProbeTest, ListsSerialDevicesByKindThenNumber) {
  for (const char* name : {"rfcomm0", "ttyACM0", "ttyUSB10", "ttyUSB2", "ttyS1", "ttyS0", "ttyAMA0",
                           "tty0", "tty12", "ttySAC", "ttyUSBx", "console", "null", "ttyS1a"}) {
    Device(name);
  }
  EXPECT_EQ((std::vector<std::string>{"ttyS0", "ttyS1", "ttyUSB2", "ttyUSB10", "ttyACM0", "ttyAMA0",
                                      "rfcomm0"}),
            ProbePorts(places_));
}

TEST_F(ProbeTest, LeavesOutUartsThatAreNotThere) {
  Device("ttyS0");
  Device("ttyS1");
  Device("ttyS2");
  SysType("ttyS0", "4\n");
  SysType("ttyS1", "0\n");  // PORT_UNKNOWN: no UART behind it
  EXPECT_EQ((std::vector<std::string>{"ttyS0", "ttyS2"}), ProbePorts(places_));
}

TEST_F(ProbeTest, LeavesOutPortsAnotherProgramHoldsAndThoseThatDoNotOpen) {
  Device("ttyUSB0");
  Device("ttyUSB1");
  Device("ttyUSB2");
  const std::string held = places_.devDir + "/ttyUSB1";
  int fd = ::open(held.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, ::flock(fd, LOCK_EX | LOCK_NB));
  ASSERT_EQ(0, ::chmod((places_.devDir + "/ttyUSB2").c_str(), 0));
  const bool root = ::geteuid() == 0;  // root opens it regardless of the mode

  const auto ports = ProbePorts(places_);
  ::close(fd);
  if (root) {
    EXPECT_EQ((std::vector<std::string>{"ttyUSB0", "ttyUSB2"}), ports);
  } else {
    EXPECT_EQ((std::vector<std::string>{"ttyUSB0"}), ports);
  }
  // The probe let go of every port again: a second look finds them all free.
  ASSERT_EQ(0, ::chmod((places_.devDir + "/ttyUSB2").c_str(), 0600));
  EXPECT_EQ((std::vector<std::string>{"ttyUSB0", "ttyUSB1", "ttyUSB2"}), ProbePorts(places_));
}

TEST_F(ProbeTest, MissingDirectoryGivesNothing) {
  places_.devDir = root_.filePath("nowhere").toStdString();
  EXPECT_TRUE(ProbePorts(places_).empty());
}

TEST(BootFiles, RegularMotFilesInAnyCaseSortedWithoutRegardToCase) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const std::string d = dir.path().toStdString();
  for (const char* name : {"zeta.MOT", "Alpha.mot", "beta.Mot", "a.mot", "A.MOT", "image.mhx", "readme",
                           "mot", ".hidden.mot", "x.mot.bak"}) {
    WriteFile(d + "/" + name, "S9030000FC\r\n");
  }
  ASSERT_TRUE(QDir(dir.path()).mkdir("dir.MOT"));
  EXPECT_EQ((std::vector<std::string>{"A.MOT", "a.mot", "Alpha.mot", "beta.Mot", "zeta.MOT"}),
            ListBootFiles(d));
}

TEST(BootFiles, EmptyOrMissingDirectory) {
  QTemporaryDir dir;
  EXPECT_TRUE(ListBootFiles(dir.path().toStdString()).empty());
  EXPECT_TRUE(ListBootFiles(dir.filePath("gone").toStdString()).empty());
}

}  // namespace
}  // namespace porten::app::testing
