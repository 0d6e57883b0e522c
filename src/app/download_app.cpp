#include "app/download_app.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLibraryInfo>
#include <QLocale>
#include <QSettings>
#include <QTranslator>

#include "app/boot_files.h"
#include "app/remembered.h"
#include "core/window_system.h"
#include "link/termios_port.h"
#include "protocol/download_session.h"

namespace porten::app {

bool InstallJapaneseTranslation() {
  const QLocale japanese(QLocale::Japanese, QLocale::Japan);
  QLocale::setDefault(japanese);  // dates and sizes in the file dialog
  auto* translator = new QTranslator(QCoreApplication::instance());
  if (!translator->load(japanese, QStringLiteral("qtbase"), QStringLiteral("_"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete translator;
    return false;
  }
  return QCoreApplication::installTranslator(translator);
}

CDownloadApp::CDownloadApp(Options options) : options_(std::move(options)) {}

CDownloadApp::~CDownloadApp() = default;

bool CDownloadApp::InitInstance() {
  settings_ = OpenSettings(options_.settingsFile);
  std::string currentDir = options_.currentDir;
  if (currentDir.empty()) currentDir = QFile::encodeName(QDir::currentPath()).toStdString();
  const std::string startDir =
      ChooseBootDir(options_.bootDir, currentDir,
                    QFile::encodeName(settings_->value(QString::fromLatin1(kBootDirKey)).toString())
                        .toStdString());
  Remember(settings_.get(), kBootDirKey, QFile::decodeName(QByteArray::fromStdString(startDir)));
  std::unique_ptr<Port> port =
      options_.makePort ? options_.makePort() : std::make_unique<TermiosPort>();

  // The session holds the image buffer for the whole run; nothing of it is
  // opened before the operator has chosen a port.
  session_ = std::make_unique<DownloadSession>(window_, SystemClock(), std::move(port), startDir);
  window_.Bind(session_.get());

  {
    CPortSelectDlg portDialog(*session_, options_.listPorts, settings_.get());
    if (portDialog.exec() != QDialog::Accepted) {
      window_.Bind(nullptr);
      session_.reset();
      settings_.reset();
      return false;
    }
  }

  {
    CDownloadDlg dialog(*session_, window_, startDir, settings_.get());  // starts the receive thread
    if (options_.browse) dialog.SetBrowseHook(options_.browse);
    mainDialog_ = &dialog;
    dialog.exec();
    mainDialog_ = nullptr;
  }  // the dialog has stopped the receive thread by now

  session_->ClosePort();
  window_.Bind(nullptr);
  session_.reset();
  settings_.reset();
  return false;
}

}  // namespace porten::app
