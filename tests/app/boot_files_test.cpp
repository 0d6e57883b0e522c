// The boot file list, on directories the test lays out.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include "app/boot_files.h"
#include "app_test_util.h"

namespace porten::app::testing {
namespace {

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
