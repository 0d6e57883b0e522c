#include "app/automation.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPixmap>
#include <cstdio>

#include "app/download_app.h"
#include "app/message_box.h"
#include "core/texts.h"
#include "protocol/download_session.h"

namespace porten::app {

namespace {

constexpr int kTickMs = 50;
constexpr int kPhaseLimitTicks = 2400;  // two minutes for any one step

QWidget* VisibleDialog(const char* name) {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->objectName() == QLatin1String(name) && w->isVisible()) return w;
  }
  return nullptr;
}

template <typename T>
T* Control(QWidget* dialog, const char* name) {
  return dialog ? dialog->findChild<T*>(QLatin1String(name)) : nullptr;
}

void Click(QWidget* dialog, const char* name) {
  if (auto* button = Control<QAbstractButton>(dialog, name)) button->click();
}

}  // namespace

Automation* Automation::FromEnvironment(CDownloadApp& app) {
  if (qEnvironmentVariableIsEmpty("PORTEN_AUTO_SHOTS")) return nullptr;
  return new Automation(app);
}

Automation::Automation(CDownloadApp& app) : app_(app) {
  shots_ = qEnvironmentVariable("PORTEN_AUTO_SHOTS");
  port_ = qEnvironmentVariable("PORTEN_AUTO_PORT");
  boot_ = qEnvironmentVariable("PORTEN_AUTO_BOOT");
  image_ = qEnvironmentVariable("PORTEN_AUTO_IMAGE");
  QDir().mkpath(shots_);
  SetMessageHook([](const std::string& text, const std::string& caption) {
    std::fprintf(stderr, "porten: message [%s] %s\n", caption.c_str(), text.c_str());
  });
  const std::string image = QFile::encodeName(image_).toStdString();
  app_.SetBrowseHook([image](QWidget*) { return image; });
  connect(&tick_, &QTimer::timeout, this, &Automation::Step);
  tick_.start(kTickMs);
}

bool Automation::Grab(QWidget* widget, const char* file) {
  const QString path = shots_ + QLatin1Char('/') + QLatin1String(file);
  if (!widget->grab().save(path)) {
    std::fprintf(stderr, "porten: cannot write %s\n", qPrintable(path));
    return false;
  }
  return true;
}

void Automation::Fail(const char* what) {
  std::fprintf(stderr, "porten: automation stopped: %s\n", what);
  tick_.stop();
  exitCode_ = 1;
  if (QWidget* port = VisibleDialog("IDD_PORT_SELECT")) Click(port, "IDCANCEL");
  if (QWidget* main = VisibleDialog("IDD_DOWNLOAD_DIALOG")) Click(main, "IDOK");
}

void Automation::Step() {
  if (++waited_ > kPhaseLimitTicks) return Fail("time-out");
  QWidget* portDialog = VisibleDialog("IDD_PORT_SELECT");
  QWidget* mainDialog = VisibleDialog("IDD_DOWNLOAD_DIALOG");
  DownloadSession* session = app_.session();
  const auto next = [this] {
    ++phase_;
    waited_ = 0;
  };

  switch (phase_) {
    case 0:  // port dialog up; let it paint once before the picture
      if (portDialog && waited_ > 4) {
        if (!port_.isEmpty()) Control<QComboBox>(portDialog, "IDC_PORT_LIST")->setCurrentText(port_);
        if (!Grab(portDialog, "port-select.png")) return Fail("grab");
        Click(portDialog, "IDOK");
        next();
      }
      break;
    case 1:  // main dialog up: boot loader
      if (portDialog && waited_ > 20) return Fail("the port did not open");
      if (mainDialog && session && waited_ > 4) {
        if (!boot_.isEmpty()) Control<QComboBox>(mainDialog, "IDC_BOOT_FILES")->setCurrentText(boot_);
        Click(mainDialog, "IDC_CPU_SELECT");
        next();
      }
      break;
    case 2:  // boot loader loaded: image
      if (session && session->Snapshot().ready && session->Snapshot().slotLength[0] > 0) {
        Click(mainDialog, "IDC_BROWSE");
        next();
      }
      break;
    case 3:  // image loaded: picture, then Write
      if (session && session->Snapshot().ready && session->Snapshot().slotLength[1] > 0 &&
          waited_ > 4) {
        if (!Grab(mainDialog, "main-loaded.png")) return Fail("grab");
        Click(mainDialog, "IDC_WRITE");
        next();
      }
      break;
    case 4: {  // the status line tells how the download ended
      auto* status = Control<QLabel>(mainDialog, "IDC_STATUS");
      const QString text = status ? status->text() : QString();
      const bool done = text == QString::fromUtf8(text::kWriteDone);
      if (done || text == QString::fromUtf8(text::kWriteError)) {
        if (!Grab(mainDialog, "main-written.png")) return Fail("grab");
        tick_.stop();
        exitCode_ = done ? 0 : 1;
        if (!done) std::fprintf(stderr, "porten: download failed\n");
        Click(mainDialog, "IDOK");
      }
      break;
    }
    default:
      break;
  }
}

}  // namespace porten::app
