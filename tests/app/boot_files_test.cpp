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

// Where the list comes from: the argument, else a current directory with
// boot files, else the last run's directory while it exists.
struct DirCase {
  const char* name;
  const char* argument;
  const char* cwd;         // "withMot", "empty"
  const char* remembered;  // "last", "gone", ""
  const char* chosen;
};

void PrintTo(const DirCase& c, std::ostream* os) { *os << c.name; }

class BootDirTest : public ::testing::TestWithParam<DirCase> {};

TEST_P(BootDirTest, ArgumentThenCurrentDirectoryWithBootFilesThenLastRun) {
  QTemporaryDir root;
  const QDir dir(root.path());
  for (const char* sub : {"arg", "withMot", "empty", "last"}) ASSERT_TRUE(dir.mkdir(QLatin1String(sub)));
  WriteFile(Std(dir.filePath(QStringLiteral("withMot/LOADER.MOT"))), "S9030000FC\r\n");
  const auto path = [&](const char* sub) { return sub[0] ? Std(dir.filePath(QLatin1String(sub))) : ""; };
  const DirCase& c = GetParam();
  EXPECT_EQ(path(c.chosen), ChooseBootDir(path(c.argument), path(c.cwd), path(c.remembered)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BootDirTest,
    ::testing::Values(DirCase{"Argument", "arg", "withMot", "last", "arg"},
                      DirCase{"CurrentWithBootFiles", "", "withMot", "last", "withMot"},
                      DirCase{"LastRun", "", "empty", "last", "last"},
                      DirCase{"LastRunGone", "", "empty", "gone", "empty"},
                      DirCase{"NothingRemembered", "", "empty", "", "empty"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace porten::app::testing
