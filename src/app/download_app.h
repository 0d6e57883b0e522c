// The application: the port dialog, then the main dialog, then the port
// closed again. One DownloadSession lives for the whole run.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/download_dlg.h"
#include "app/port_select_dlg.h"
#include "app/qt_window_system.h"
#include "core/port.h"

class QSettings;

namespace porten {
class DownloadSession;
}

namespace porten::app {

// Makes Qt's own texts (the file dialog, standard buttons) Japanese, whatever
// the locale: the tool speaks only Japanese. False when Qt's Japanese
// translation is not installed; the texts stay English then.
bool InstallJapaneseTranslation();

class CDownloadApp {
 public:
  struct Options {
    std::function<std::unique_ptr<Port>()> makePort;  // the termios port when empty
    CPortSelectDlg::PortLister listPorts;             // the device probe when empty
    CDownloadDlg::BrowseHook browse;                  // the file dialog when empty
    std::string currentDir;                           // the current directory when empty
    std::string bootDir;                              // the DIRECTORY argument, if given
    QString settingsFile;                             // the user's settings when empty
  };

  explicit CDownloadApp(Options options = {});
  ~CDownloadApp();
  CDownloadApp(const CDownloadApp&) = delete;
  CDownloadApp& operator=(const CDownloadApp&) = delete;

  // Runs both dialogs; always false (the program ends when it returns).
  bool InitInstance();

  // While InitInstance runs (else nullptr): for tests and the screenshot driver.
  DownloadSession* session() const { return session_.get(); }
  CDownloadDlg* mainDialog() const { return mainDialog_; }

 private:
  Options options_;
  QtWindowSystem window_;
  std::unique_ptr<QSettings> settings_;
  std::unique_ptr<DownloadSession> session_;
  CDownloadDlg* mainDialog_ = nullptr;
};

}  // namespace porten::app
