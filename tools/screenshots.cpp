// porten-screenshots SHOTS_DIR PORT BOOT IMAGE [DIRECTORY]: runs the dialogs of
// porten as a user would, without a user, and saves the pictures of
// docs/screenshots into SHOTS_DIR:
//
//   port-select.png   the port dialog with PORT typed in
//   file-dialog.png   the "参照" file dialog, IMAGE selected
//   main-loaded.png   the main dialog with boot file BOOT and IMAGE loaded
//   main-writing.png  the main dialog halfway through sending IMAGE
//   main-written.png  the main dialog once the write has ended
//
// It presses OK, "CPU選択", "参照", confirms IMAGE in the file dialog, presses
// "書込み" and leaves through "終了". Message boxes are printed instead of
// shown. The choices it makes are remembered in a settings file of its own,
// not the user's. Exit status 0 when the write went through.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <functional>

#include "app/download_app.h"
#include "app/message_box.h"
#include "core/texts.h"
#include "protocol/download_session.h"

namespace {

using porten::app::CDownloadApp;

constexpr int kTickMs = 50;
constexpr int kStepLimitTicks = 2400;  // two minutes for any one step

QWidget* Visible(const char* name) {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->objectName() == QLatin1String(name) && w->isVisible()) return w;
  }
  return nullptr;
}

template <typename T = QAbstractButton>
T* Control(QWidget* dialog, const char* name) {
  return dialog ? dialog->findChild<T*>(QLatin1String(name)) : nullptr;
}

void Click(QWidget* dialog, const char* name) {
  if (auto* button = Control(dialog, name)) button->click();
}

class Driver final : public QObject {
 public:
  Driver(CDownloadApp& app, QString shots, QString port, QString boot, QString image)
      : app_(app),
        shots_(std::move(shots)),
        port_(std::move(port)),
        boot_(std::move(boot)),
        image_(std::move(image)) {
    connect(&tick_, &QTimer::timeout, this, &Driver::Step);
    tick_.start(kTickMs);
  }
  int exitCode() const { return exitCode_; }

 private:
  bool Grab(QWidget* widget, const char* file) {
    const QString path = shots_ + QLatin1Char('/') + QLatin1String(file);
    if (widget->grab().save(path)) return true;
    std::fprintf(stderr, "porten-screenshots: cannot write %s\n", qPrintable(path));
    return false;
  }

  // Ends whichever dialog is up, innermost first, one per tick.
  void Fail(const char* what) {
    std::fprintf(stderr, "porten-screenshots: stopped at step %d: %s\n", step_, what);
    exitCode_ = 1;
    disconnect(&tick_, nullptr, this, nullptr);
    connect(&tick_, &QTimer::timeout, this, [] {
      if (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        if (modal->objectName() == QLatin1String("IDD_DOWNLOAD_DIALOG")) {
          Click(modal, "IDOK");  // the way out that stops the receive thread
        } else {
          modal->reject();
        }
      }
    });
  }

  // One step a tick once its condition holds; a few ticks' grace before a
  // picture so that the window has painted.
  void Step() {
    if (++waited_ > kStepLimitTicks) return Fail("time-out");
    QWidget* portDialog = Visible("IDD_PORT_SELECT");
    QWidget* main = Visible("IDD_DOWNLOAD_DIALOG");
    auto* files = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    porten::DownloadSession* session = app_.session();
    const auto loaded = [session](int slot) {
      return session && session->Snapshot().ready && session->Snapshot().slotLength[slot] > 0;
    };
    const auto next = [this] {
      ++step_;
      waited_ = 0;
    };
    switch (step_) {
      case 0:
        if (portDialog && waited_ > 4) {
          Control<QComboBox>(portDialog, "IDC_PORT_LIST")->setCurrentText(port_);
          if (!Grab(portDialog, "port-select.png")) return Fail("grab");
          Click(portDialog, "IDOK");
          next();
        }
        break;
      case 1:
        if (portDialog && waited_ > 20) return Fail("the port did not open");
        if (main && session && waited_ > 4) {
          Control<QComboBox>(main, "IDC_BOOT_FILES")->setCurrentText(boot_);
          Click(main, "IDC_CPU_SELECT");
          next();
        }
        break;
      case 2:
        if (loaded(0)) {
          // The real file dialog: "参照" runs it modally, the next ticks find it.
          QTimer::singleShot(0, this, [main] { Click(main, "IDC_BROWSE"); });
          next();
        }
        break;
      case 3:
        if (files && waited_ > 10) {
          files->setObjectName(QStringLiteral("porten-file-dialog"));
          // Typed into the name box, as a user would; selecting the file in
          // the list leaves the box alone while it has the focus.
          files->setDirectory(QFileInfo(image_).absolutePath());
          if (auto* name = files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
            name->setText(QFileInfo(image_).fileName());
          }
          QTimer::singleShot(kTickMs * 4, this, [this, files] {
            if (!Grab(files, "file-dialog.png")) return Fail("grab");
            static_cast<QDialog*>(files)->accept();  // QFileDialog hides it; QDialog's is public
          });
          next();
        }
        break;
      case 4:
        if (loaded(1) && !files && waited_ > 4) {
          if (!Grab(main, "main-loaded.png")) return Fail("grab");
          Click(main, "IDC_WRITE");
          next();
        }
        break;
      case 5: {
        // Halfway through the image (the board runs on wire time, so the
        // ticks see it pass).
        const porten::DownloadView view =
            session ? session->Snapshot() : porten::DownloadView{};
        if (!writingShot_ && view.phase == porten::Phase::kWrite && view.pos * 3 >= view.length &&
            view.pos * 3 <= view.length * 2) {
          if (!Grab(main, "main-writing.png")) return Fail("grab");
          writingShot_ = true;
        }
        const porten::Outcome outcome = view.outcome;
        const bool done = outcome == porten::Outcome::kWritten && writingShot_;
        if (outcome != porten::Outcome::kNone && waited_ > 2) {  // its texts painted
          if (!Grab(main, "main-written.png")) return Fail("grab");
          tick_.stop();
          exitCode_ = done ? 0 : 1;
          if (!done) {
            std::fprintf(stderr, "porten-screenshots: %s\n",
                         writingShot_ ? "the write failed" : "no picture halfway through the write");
          }
          Click(main, "IDOK");
        }
        break;
      }
      default:
        break;
    }
  }

  CDownloadApp& app_;
  QString shots_, port_, boot_, image_;
  QTimer tick_;
  int step_ = 0;
  int waited_ = 0;
  int exitCode_ = 1;
  bool writingShot_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  QApplication qapp(argc, argv);
  const QStringList args = QCoreApplication::arguments().mid(1);
  if (args.size() < 4 || args.size() > 5) {
    std::fputs("usage: porten-screenshots SHOTS_DIR PORT BOOT IMAGE [DIRECTORY]\n", stderr);
    return 2;
  }
  QIcon icon;
  icon.addFile(QStringLiteral(":/icons/porten-32.png"), QSize(32, 32));
  icon.addFile(QStringLiteral(":/icons/porten-16.png"), QSize(16, 16));
  QApplication::setWindowIcon(icon);
  porten::app::InstallJapaneseTranslation();
  porten::app::SetMessageHook([](const std::string& text, const std::string& caption) {
    std::fprintf(stderr, "porten-screenshots: message [%s] %s\n", caption.c_str(), text.c_str());
  });
  QDir().mkpath(args[0]);

  QTemporaryDir settings;
  CDownloadApp::Options options;
  options.settingsFile = settings.filePath(QStringLiteral("porten.conf"));
  if (args.size() == 5) {
    options.bootDir = QFile::encodeName(QFileInfo(args[4]).absoluteFilePath()).toStdString();
  }
  CDownloadApp app(std::move(options));
  Driver driver(app, QFileInfo(args[0]).absoluteFilePath(), args[1], args[2],
                QFileInfo(args[3]).absoluteFilePath());
  app.InitInstance();
  return driver.exitCode();
}
