// The port selection dialog and the start-up flow around it.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "app/download_app.h"
#include "app/port_select_dlg.h"
#include "app/qt_window_system.h"
#include "app/remembered.h"
#include "app_test_util.h"
#include "core/texts.h"
#include "protocol/download_session.h"

namespace porten::app::testing {
namespace {

constexpr int kWaitMs = 20000;

struct OkCase {
  const char* name;
  const char* typed;
  OpenFailure failure;  // kNone: the open succeeds
  std::string box;      // "": none
  const char* opened;   // the path the port was asked to open, "" if none
};

class PortOkTest : public ::testing::TestWithParam<OkCase> {};

TEST_P(PortOkTest, OkOpensTheTypedPortAndRemembersItOrSaysWhyNot) {
  const OkCase& c = GetParam();
  QtWindowSystem window;
  auto port = std::make_unique<FakePort>();
  FakePort* fake = port.get();
  if (c.failure != OpenFailure::kNone) fake->FailOpens(1, c.failure);
  DownloadSession session(window, SystemClock(), std::move(port), "/tmp");
  MessageRecorder boxes;
  QTemporaryDir home;
  auto settings = OpenSettings(home.filePath(QStringLiteral("porten.conf")));

  CPortSelectDlg dialog(session, [] { return std::vector<std::string>{"ttyUSB0"}; }, settings.get());
  Find<QComboBox>(&dialog, "IDC_PORT_LIST")->setCurrentText(QString::fromUtf8(c.typed));
  Find(&dialog, "IDOK")->click();

  const bool opened = c.box.empty();
  const std::vector<Message> expected = opened ? std::vector<Message>{} : std::vector<Message>{{c.box, text::kPortCaption}};
  EXPECT_EQ(expected, boxes.messages);
  EXPECT_EQ(opened, dialog.result() == QDialog::Accepted);
  EXPECT_EQ(opened, fake->IsOpen());
  EXPECT_EQ(c.opened, fake->LastPath());
  EXPECT_EQ(opened ? c.typed : "", Std(settings->value(kPortKey).toString()));
  if (opened) {
    EXPECT_EQ(4800, fake->Baud());
  }
}

const std::string kWrong = text::kWrongPort;
INSTANTIATE_TEST_SUITE_P(
    Names, PortOkTest,
    ::testing::Values(OkCase{"Empty", "", OpenFailure::kNone, text::kSelectPort, ""},
                      OkCase{"Blank", "  ", OpenFailure::kNone, text::kSelectPort, ""},
                      OkCase{"Missing", "ttyUSB7", OpenFailure::kNotFound, kWrong + kNotFoundHint, "/dev/ttyUSB7"},
                      OkCase{"Busy", "ttyUSB0", OpenFailure::kBusy, kWrong + kBusyHint, "/dev/ttyUSB0"},
                      OkCase{"NoPermission", "ttyUSB0", OpenFailure::kPermission, kWrong + kPermissionHint,
                             "/dev/ttyUSB0"},
                      OkCase{"BareName", "ttyUSB0", OpenFailure::kNone, "", "/dev/ttyUSB0"},
                      OkCase{"Path", "/tmp/board/link", OpenFailure::kNone, "", "/tmp/board/link"}),
    [](const auto& info) { return std::string(info.param.name); });

// The probed ports in their order, the last port offered while it is there.
struct OfferCase {
  const char* name;
  const char* remembered;
  const char* selected;
};

class PortOfferTest : public ::testing::TestWithParam<OfferCase> {};

const char kLongest[] = "/home/user/boards/a-rather-long-directory-name/ttySIM0";

TEST_P(PortOfferTest, LastPortOfferedWhileListedAndLongNamesShowWhole) {
  const OfferCase& c = GetParam();
  QtWindowSystem window;
  DownloadSession session(window, SystemClock(), std::make_unique<FakePort>(), "/tmp");
  QTemporaryDir home;
  auto settings = OpenSettings(home.filePath(QStringLiteral("porten.conf")));
  if (c.remembered[0]) settings->setValue(kPortKey, c.remembered);
  CPortSelectDlg dialog(session, [] { return std::vector<std::string>{"ttyS0", "ttyUSB0", kLongest}; },
                        settings.get());

  auto* list = Find<QComboBox>(&dialog, "IDC_PORT_LIST");
  ASSERT_EQ(3, list->count());
  EXPECT_EQ("ttyUSB0", Std(list->itemText(1)));
  EXPECT_EQ(c.selected, Std(list->currentText()));
  EXPECT_EQ(c.selected, Std(list->lineEdit()->toolTip()));
  EXPECT_EQ(c.remembered == std::string(c.selected), settings->contains(kPortKey)) << "stale ones dropped";
  // The box keeps its width; the drop-down shows the longest entry whole.
  const int longest = list->view()->fontMetrics().horizontalAdvance(QLatin1String(kLongest));
  EXPECT_LT(list->width(), longest);
  EXPECT_GT(list->view()->minimumWidth(), longest);
}

INSTANTIATE_TEST_SUITE_P(Remembered, PortOfferTest,
                         ::testing::Values(OfferCase{"None", "", "ttyS0"}, OfferCase{"Listed", kLongest, kLongest},
                                           OfferCase{"Gone", "ttyUSB3", "ttyS0"}),
                         [](const auto& info) { return std::string(info.param.name); });

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

// The whole start: the port dialog, on OK the main dialog with the boot files
// of the directory argument, then the port closed; cancel opens nothing.
class StartupTest : public ::testing::TestWithParam<bool> {};

TEST_P(StartupTest, PortDialogThenMainDialogThenThePortClosed) {
  const bool ok = GetParam();
  auto fake = std::make_shared<FakePort>();
  QTemporaryDir home, boot;
  WriteFile(Std(boot.filePath(QStringLiteral("LOADER.MOT"))), "S9030000FC\r\n");
  CDownloadApp::Options options;
  options.makePort = [fake] { return std::make_unique<SharedPort>(fake); };
  options.listPorts = [] { return std::vector<std::string>{"ttyUSB0"}; };
  options.currentDir = "/tmp";
  options.bootDir = Std(boot.path());
  options.settingsFile = home.filePath(QStringLiteral("porten.conf"));
  CDownloadApp app(std::move(options));

  std::string sawBootFile;
  QTimer poll;
  int ticks = 0;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) return;
    const bool main = modal == app.mainDialog();
    if (main) sawBootFile = Std(modal->findChild<QComboBox*>(QStringLiteral("IDC_BOOT_FILES"))->currentText());
    if (++ticks * 10 > kWaitMs) ADD_FAILURE() << "stuck in " << Std(modal->objectName());
    Find(modal, main || ok ? "IDOK" : "IDCANCEL")->click();
  });
  poll.start(10);
  EXPECT_FALSE(app.InitInstance());

  EXPECT_EQ(ok ? "LOADER.MOT" : "", sawBootFile);
  const auto events = fake->Events();
  ASSERT_EQ(ok ? 2u : 0u, events.size());
  if (ok) {
    EXPECT_EQ(porten::testing::PortEvent::kOpen, events[0].kind);
    EXPECT_EQ(4800, events[0].baud);
    EXPECT_EQ(porten::testing::PortEvent::kClose, events[1].kind);
    const QSettings saved(home.filePath(QStringLiteral("porten.conf")), QSettings::NativeFormat);
    EXPECT_EQ(boot.path(), saved.value(kBootDirKey).toString()) << "for a start without the argument";
  }
}

INSTANTIATE_TEST_SUITE_P(Button, StartupTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Ok" : "Cancel"; });

}  // namespace
}  // namespace porten::app::testing
