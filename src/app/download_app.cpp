#include "app/download_app.h"

#include <QDir>
#include <QFile>

#include "core/window_system.h"
#include "link/termios_port.h"
#include "protocol/download_session.h"

namespace porten::app {

CDownloadApp::CDownloadApp(Options options) : options_(std::move(options)) {}

CDownloadApp::~CDownloadApp() = default;

bool CDownloadApp::InitInstance() {
  std::string startDir = options_.startDir;
  if (startDir.empty()) startDir = QFile::encodeName(QDir::currentPath()).toStdString();
  std::unique_ptr<Port> port =
      options_.makePort ? options_.makePort() : std::make_unique<TermiosPort>();

  // The session holds the image buffer for the whole run; nothing of it is
  // opened before the operator has chosen a port.
  session_ = std::make_unique<DownloadSession>(window_, SystemClock(), std::move(port), startDir);
  window_.Bind(session_.get());

  {
    CPortSelectDlg portDialog(*session_, options_.listPorts);
    if (portDialog.exec() != QDialog::Accepted) {
      window_.Bind(nullptr);
      session_.reset();
      return false;
    }
  }

  {
    CDownloadDlg dialog(*session_, window_, startDir);  // starts the receive thread
    if (options_.browse) dialog.SetBrowseHook(options_.browse);
    mainDialog_ = &dialog;
    dialog.exec();
    mainDialog_ = nullptr;
  }  // the dialog has stopped the receive thread by now

  session_->ClosePort();
  window_.Bind(nullptr);
  session_.reset();
  return false;
}

}  // namespace porten::app
