// The start of the tool: the boot file directory, the port selection dialog
// and the flow from it to the main dialog.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include "app/boot_files.h"
#include "app/download_app.h"
#include "app/port_select_dlg.h"
#include "app/qt_window_system.h"
#include "app/remembered.h"
#include "app_test_util.h"
#include "core/texts.h"
#include "protocol/download_session.h"

namespace porten::app::testing {
namespace {

using Names = std::vector<std::string>;

TEST(BootFiles, RegularMotFilesSortedWithoutRegardToCaseAndWhereTheyAreLookedFor) {
  QTemporaryDir root;
  const QDir dir(root.path());
  const auto path = [&](const char* sub) { return sub[0] ? Std(dir.filePath(QLatin1String(sub))) : ""; };
  for (const char* sub : {"arg", "withMot", "withMot/dir.MOT", "empty", "last"}) ASSERT_TRUE(dir.mkdir(sub));
  for (const char* name : {"zeta.MOT", "Alpha.mot", "beta.Mot", "a.mot", "A.MOT", "image.mhx", "readme", "mot",
                           ".hidden.mot", "x.mot.bak"}) {
    WriteFile(path("withMot") + "/" + name, "S9030000FC\r\n");
  }
  EXPECT_EQ((Names{"A.MOT", "a.mot", "Alpha.mot", "beta.Mot", "zeta.MOT"}), ListBootFiles(path("withMot")));
  EXPECT_EQ(Names{}, ListBootFiles(path("gone")));
  // The argument, else a current directory with boot files, else the last
  // run's directory while it exists.
  const char* cases[][4] = {{"arg", "withMot", "last", "arg"},  {"", "withMot", "last", "withMot"},
                            {"", "empty", "last", "last"},      {"", "empty", "gone", "empty"},
                            {"", "empty", "", "empty"}};
  for (const auto& c : cases) {
    EXPECT_EQ(path(c[3]), ChooseBootDir(path(c[0]), path(c[1]), path(c[2]))) << c[0] << "," << c[1] << "," << c[2];
  }
}

TEST(PortDialog, OkOpensTheTypedPortAndRemembersItOrSaysWhyNot) {
  const std::string wrong = text::kWrongPort;
  const struct {
    const char* typed;
    OpenFailure failure;  // kNone: the open succeeds
    std::string box;      // "": none
    const char* opened;   // the path the port was asked to open, "" if none
  } cases[] = {{"", OpenFailure::kNone, text::kSelectPort, ""},
               {"  ", OpenFailure::kNone, text::kSelectPort, ""},
               {"ttyUSB7", OpenFailure::kNotFound, wrong + kNotFoundHint, "/dev/ttyUSB7"},
               {"ttyUSB0", OpenFailure::kBusy, wrong + kBusyHint, "/dev/ttyUSB0"},
               {"ttyUSB0", OpenFailure::kPermission, wrong + kPermissionHint, "/dev/ttyUSB0"},
               {"ttyUSB0", OpenFailure::kNone, "", "/dev/ttyUSB0"},
               {"/tmp/board/link", OpenFailure::kNone, "", "/tmp/board/link"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.box + c.opened);
    QtWindowSystem window;
    auto port = std::make_unique<FakePort>();
    FakePort* fake = port.get();
    if (c.failure != OpenFailure::kNone) fake->FailOpens(1, c.failure);
    DownloadSession session(window, SystemClock(), std::move(port), "/tmp");
    MessageRecorder boxes;
    QTemporaryDir home;
    auto settings = OpenSettings(home.filePath(QStringLiteral("porten.conf")));
    CPortSelectDlg dialog(session, [] { return Names{"ttyUSB0"}; }, settings.get());
    Find<QComboBox>(&dialog, "IDC_PORT_LIST")->setCurrentText(QString::fromUtf8(c.typed));
    Find(&dialog, "IDOK")->click();

    const bool opened = c.box.empty();
    EXPECT_EQ(opened ? std::vector<Message>{} : (std::vector<Message>{{c.box, text::kPortCaption}}), boxes.messages);
    EXPECT_EQ(opened, dialog.result() == QDialog::Accepted);
    EXPECT_EQ(opened, fake->IsOpen());
    EXPECT_EQ(opened ? 4800 : fake->Baud(), fake->Baud());
    EXPECT_EQ(c.opened, fake->LastPath());
    EXPECT_EQ(opened ? c.typed : "", Std(settings->value(kPortKey).toString()));
  }
}

// The probed ports in their order, the last port offered while it is there;
// the box keeps its width and the drop-down shows the longest entry whole.
TEST(PortDialog, LastPortOfferedWhileListedAndLongNamesShowWhole) {
  const std::string longest = "/home/user/boards/a-rather-long-directory-name/ttySIM0";
  for (const auto& [remembered, selected] : std::vector<std::pair<std::string, std::string>>{
           {"", "ttyS0"}, {longest, longest}, {"ttyUSB3", "ttyS0"}}) {
    SCOPED_TRACE(remembered);
    QtWindowSystem window;
    DownloadSession session(window, SystemClock(), std::make_unique<FakePort>(), "/tmp");
    QTemporaryDir home;
    auto settings = OpenSettings(home.filePath(QStringLiteral("porten.conf")));
    if (!remembered.empty()) settings->setValue(kPortKey, QString::fromStdString(remembered));
    CPortSelectDlg dialog(session, [&] { return Names{"ttyS0", "ttyUSB0", longest}; }, settings.get());

    auto* list = Find<QComboBox>(&dialog, "IDC_PORT_LIST");
    ASSERT_EQ(3, list->count());
    EXPECT_EQ("ttyUSB0", Std(list->itemText(1)));
    EXPECT_EQ(selected, Std(list->currentText()));
    EXPECT_EQ(selected, Std(list->lineEdit()->toolTip()));
    EXPECT_EQ(remembered == selected, settings->contains(kPortKey)) << "stale ones dropped";
    const int width = list->view()->fontMetrics().horizontalAdvance(QString::fromStdString(longest));
    EXPECT_LT(list->width(), width);
    EXPECT_GT(list->view()->minimumWidth(), width);
  }
}

TEST(PortDialog, OffersTheLinksOfSimulatedBoardsAfterTheSerialPorts) {
  QTemporaryDir runtime;
  const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
  qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
  ASSERT_TRUE(QDir(runtime.path()).mkdir(QStringLiteral("porten")));
  QFile::setPermissions(runtime.filePath(QStringLiteral("porten")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  const QString link = runtime.filePath(QStringLiteral("porten/ttySIM0"));
  ASSERT_TRUE(QFile::link(QStringLiteral("/dev/null"), link));  // a character device, as the pty is
  QtWindowSystem window;
  DownloadSession session(window, SystemClock(), std::make_unique<FakePort>(), "/tmp");
  CPortSelectDlg dialog(session);
  qputenv("XDG_RUNTIME_DIR", saved);

  auto* list = Find<QComboBox>(&dialog, "IDC_PORT_LIST");
  ASSERT_GT(list->count(), 0);
  EXPECT_EQ(Std(link), Std(list->itemText(list->count() - 1)));
}

// The port dialog; on OK the main dialog with the boot files of the directory
// argument and the port open, remembering the directory; cancel opens nothing.
TEST(Startup, PortDialogThenMainDialog) {
  for (const bool ok : {true, false}) {
    QTemporaryDir home, boot;
    WriteFile(Std(boot.filePath(QStringLiteral("LOADER.MOT"))), "S9030000FC\r\n");
    FakePort* fake = nullptr;
    CDownloadApp::Options options;
    options.makePort = [&fake] {
      auto port = std::make_unique<FakePort>();
      fake = port.get();
      return port;
    };
    options.listPorts = [] { return Names{"ttyUSB0"}; };
    options.currentDir = "/tmp";
    options.bootDir = Std(boot.path());
    options.settingsFile = home.filePath(QStringLiteral("porten.conf"));
    CDownloadApp app(std::move(options));

    std::string seen;  // in the main dialog
    QTimer poll;
    int ticks = 0;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal) return;
      const bool main = modal == app.mainDialog();
      if (main) {
        seen = Std(Find<QComboBox>(modal, "IDC_BOOT_FILES")->currentText()) + " " + fake->LastPath() + " " +
               std::to_string(fake->IsOpen() ? fake->Baud() : 0);
      }
      if (++ticks > 2000) ADD_FAILURE() << "stuck in " << Std(modal->objectName());
      Find(modal, main || ok ? "IDOK" : "IDCANCEL")->click();
    });
    poll.start(10);
    EXPECT_FALSE(app.InitInstance());

    EXPECT_EQ(ok ? "LOADER.MOT /dev/ttyUSB0 4800" : "", seen);
    const QSettings saved(home.filePath(QStringLiteral("porten.conf")), QSettings::NativeFormat);
    EXPECT_EQ(boot.path(), saved.value(kBootDirKey).toString()) << "for a start without the argument";
  }
}

}  // namespace
}  // namespace porten::app::testing
