// The port selection dialog and the start-up flow around it.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
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
  std::vector<Message> boxes;
  bool accepted;
  const char* openedPath;  // the path the port was asked to open, nullptr if none
};

void PrintTo(const OkCase& c, std::ostream* os) { *os << c.name; }

std::string WrongPermission() { return std::string(text::kWrongPort) + kPermissionHint; }

class PortOkTest : public ::testing::TestWithParam<OkCase> {};

TEST_P(PortOkTest, OkOpensTheTypedPortOrSaysWhyNot) {
  const OkCase& c = GetParam();
  QtWindowSystem window;
  auto fake = std::make_shared<FakePort>();
  if (c.failure != OpenFailure::kNone) fake->FailOpens(1, c.failure);
  DownloadSession session(window, SystemClock(), std::make_unique<SharedPort>(fake), "/tmp");
  MessageRecorder boxes;
  QTemporaryDir home;
  auto settings = OpenSettings(home.filePath(QStringLiteral("porten.conf")));

  CPortSelectDlg dialog(session, [] { return std::vector<std::string>{"ttyUSB0"}; }, settings.get());
  auto* list = Find<QComboBox>(&dialog, "IDC_PORT_LIST");
  list->setCurrentText(QString::fromUtf8(c.typed));
  Find(&dialog, "IDOK")->click();

  EXPECT_EQ(c.boxes, boxes.messages);
  EXPECT_EQ(c.accepted, dialog.result() == QDialog::Accepted);
  EXPECT_EQ(c.accepted, fake->IsOpen());
  if (c.openedPath) {
    EXPECT_EQ(c.openedPath, fake->LastPath());
  } else {
    EXPECT_TRUE(fake->Events().empty());
    EXPECT_EQ("", fake->LastPath());
  }
  // Only a port that opened is remembered.
  EXPECT_EQ(c.accepted ? c.typed : "", Std(settings->value(kPortKey).toString()));
  if (c.accepted) {
    EXPECT_EQ(4800, fake->Baud());
    EXPECT_EQ(c.typed, Std(dialog.m_strPort));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, PortOkTest,
    ::testing::Values(
        OkCase{"Empty", "", OpenFailure::kNone, {{text::kSelectPort, text::kPortCaption}}, false, nullptr},
        OkCase{"Blank", "  ", OpenFailure::kNone, {{text::kSelectPort, text::kPortCaption}}, false, nullptr},
        OkCase{"Missing", "ttyUSB7", OpenFailure::kNotFound,
               {{std::string(text::kWrongPort) + kNotFoundHint, text::kPortCaption}}, false,
               "/dev/ttyUSB7"},
        OkCase{"Busy", "ttyUSB0", OpenFailure::kBusy,
               {{std::string(text::kWrongPort) + kBusyHint, text::kPortCaption}}, false,
               "/dev/ttyUSB0"},
        OkCase{"NoPermission", "ttyUSB0", OpenFailure::kPermission,
               {{WrongPermission(), text::kPortCaption}}, false, "/dev/ttyUSB0"},
        OkCase{"BareName", "ttyUSB0", OpenFailure::kNone, {}, true, "/dev/ttyUSB0"},
        OkCase{"Path", "/tmp/board/link", OpenFailure::kNone, {}, true, "/tmp/board/link"}),
    [](const auto& info) { return std::string(info.param.name); });

struct OfferCase {
  const char* name;
  const char* remembered;
  const char* selected;
  bool kept;  // the remembered port stays in the settings
};

void PrintTo(const OfferCase& c, std::ostream* os) { *os << c.name; }

class PortOfferTest : public ::testing::TestWithParam<OfferCase> {};

TEST_P(PortOfferTest, ProbedPortsInTheirOrderWithTheLastPortOfferedWhileItIsThere) {
  const OfferCase& c = GetParam();
  QtWindowSystem window;
  DownloadSession session(window, SystemClock(), std::make_unique<FakePort>(), "/tmp");
  QTemporaryDir home;
  auto settings = OpenSettings(home.filePath(QStringLiteral("porten.conf")));
  if (c.remembered) settings->setValue(kPortKey, c.remembered);
  const std::string longest = "/home/user/boards/a-rather-long-directory-name/ttySIM0";
  CPortSelectDlg dialog(
      session, [&] { return std::vector<std::string>{"ttyS0", "ttyUSB0", longest}; }, settings.get());

  EXPECT_EQ(text::kPortDialogCaption, Std(dialog.windowTitle()));
  auto* list = Find<QComboBox>(&dialog, "IDC_PORT_LIST");
  ASSERT_EQ(3, list->count());
  EXPECT_EQ("ttyS0", Std(list->itemText(0)));
  EXPECT_EQ("ttyUSB0", Std(list->itemText(1)));
  EXPECT_EQ(c.selected, Std(list->currentText()));
  EXPECT_EQ(c.selected, Std(list->lineEdit()->toolTip())) << "the whole name, however it shows";
  EXPECT_EQ(c.kept, settings->contains(kPortKey));
  // The box keeps its width; the drop-down shows the longest entry whole.
  EXPECT_LT(list->width(), list->fontMetrics().horizontalAdvance(QString::fromStdString(longest)));
  EXPECT_GT(list->view()->minimumWidth(),
            list->view()->fontMetrics().horizontalAdvance(QString::fromStdString(longest)));
}

INSTANTIATE_TEST_SUITE_P(
    Remembered, PortOfferTest,
    ::testing::Values(OfferCase{"None", nullptr, "ttyS0", false},
                      OfferCase{"Listed", "/home/user/boards/a-rather-long-directory-name/ttySIM0",
                                "/home/user/boards/a-rather-long-directory-name/ttySIM0", true},
                      OfferCase{"Gone", "ttyUSB3", "ttyS0", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PortDialog, OffersTheLinksOfSimulatedBoardsAfterTheSerialPorts) {
  QTemporaryDir runtime;
  const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
  qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
  ASSERT_TRUE(QDir(runtime.path()).mkdir(QStringLiteral("porten")));
  ASSERT_TRUE(QFile(runtime.filePath(QStringLiteral("porten"))).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
  // Any character device stands in for the board's pty.
  ASSERT_TRUE(QFile::link(QStringLiteral("/dev/null"), runtime.filePath(QStringLiteral("porten/ttySIM0"))));
  QtWindowSystem window;
  DownloadSession session(window, SystemClock(), std::make_unique<FakePort>(), "/tmp");
  CPortSelectDlg dialog(session);
  qputenv("XDG_RUNTIME_DIR", saved);

  auto* list = Find<QComboBox>(&dialog, "IDC_PORT_LIST");
  ASSERT_GT(list->count(), 0);
  EXPECT_EQ(Std(runtime.filePath(QStringLiteral("porten/ttySIM0"))), Std(list->itemText(list->count() - 1)));
}

// Clicks name in the next modal dialog called dialogName once it shows.
void ClickWhenShown(const char* dialogName, const char* name) {
  auto* poll = new QTimer;
  QObject::connect(poll, &QTimer::timeout, [poll, dialogName, name] {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || modal->objectName() != QLatin1String(dialogName)) return;
    poll->stop();
    poll->deleteLater();
    if (auto* button = modal->findChild<QAbstractButton*>(QLatin1String(name))) button->click();
  });
  poll->start(10);
}

// Bounds a test that runs the modal loops: ends whatever dialog is still up
// once the generous wait is over. Disarmed when it goes out of scope.
class Watchdog {
 public:
  Watchdog() {
    QTimer::singleShot(kWaitMs, &guard_, [] {
      ADD_FAILURE() << "a dialog was still up after " << kWaitMs << " ms";
      if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        if (auto* exit = dialog->findChild<QAbstractButton*>(QStringLiteral("IDOK"));
            exit && dialog->objectName() == QLatin1String("IDD_DOWNLOAD_DIALOG")) {
          exit->click();  // the way out that stops the receive thread
        } else {
          dialog->done(QDialog::Rejected);
        }
      }
    });
  }

 private:
  QObject guard_;
};

CDownloadApp::Options AppOptions(std::shared_ptr<FakePort> fake, const QTemporaryDir& home) {
  CDownloadApp::Options options;
  options.makePort = [fake] { return std::make_unique<SharedPort>(fake); };
  options.listPorts = [] { return std::vector<std::string>{"ttyUSB0"}; };
  options.currentDir = "/tmp";
  options.settingsFile = home.filePath(QStringLiteral("porten.conf"));
  return options;
}

TEST(Startup, CancelAtThePortDialogEndsWithNoPortOpened) {
  auto fake = std::make_shared<FakePort>();
  QTemporaryDir home;
  CDownloadApp app(AppOptions(fake, home));
  Watchdog watchdog;
  ClickWhenShown("IDD_PORT_SELECT", "IDCANCEL");
  EXPECT_FALSE(app.InitInstance());
  EXPECT_TRUE(fake->Events().empty());
}

TEST(Startup, PortDialogThenMainDialogOnTheDirectoryArgumentThenThePortIsClosed) {
  auto fake = std::make_shared<FakePort>();
  QTemporaryDir home, boot;
  WriteFile(Std(boot.filePath(QStringLiteral("LOADER.MOT"))), "S9030000FC\r\n");
  CDownloadApp::Options options = AppOptions(fake, home);
  options.bootDir = Std(boot.path());
  CDownloadApp app(std::move(options));
  Watchdog watchdog;
  ClickWhenShown("IDD_PORT_SELECT", "IDOK");
  bool sawMain = false;
  auto* poll = new QTimer;
  QObject::connect(poll, &QTimer::timeout, [&] {
    if (!app.mainDialog() || QApplication::activeModalWidget() != app.mainDialog()) return;
    poll->stop();
    poll->deleteLater();
    sawMain = app.session() != nullptr && fake->IsOpen() &&
              app.mainDialog()->findChild<QComboBox*>(QStringLiteral("IDC_BOOT_FILES"))->currentText() ==
                  QLatin1String("LOADER.MOT");
    app.mainDialog()->findChild<QAbstractButton*>(QStringLiteral("IDOK"))->click();
  });
  poll->start(10);

  EXPECT_FALSE(app.InitInstance());
  EXPECT_TRUE(sawMain);
  const auto events = fake->Events();
  ASSERT_EQ(2u, events.size());
  EXPECT_EQ(porten::testing::PortEvent::kOpen, events[0].kind);
  EXPECT_EQ(4800, events[0].baud);
  EXPECT_EQ(porten::testing::PortEvent::kClose, events[1].kind);
  EXPECT_EQ(nullptr, app.session());
  const QSettings saved(home.filePath(QStringLiteral("porten.conf")), QSettings::NativeFormat);
  EXPECT_EQ(boot.path(), saved.value(kBootDirKey).toString()) << "for a start without the argument";
  EXPECT_EQ(QStringLiteral("ttyUSB0"), saved.value(kPortKey).toString());
}

}  // namespace
}  // namespace porten::app::testing
