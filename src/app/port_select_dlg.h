// The COM port selection dialog (template 129): the operator picks or types
// a port; OK opens it at 4800 bit/s for the main dialog.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <string>
#include <vector>

#include "core/port.h"

class QComboBox;
class QLabel;
class QPushButton;
class QSettings;

namespace porten {
class DownloadSession;
}

namespace porten::app {

// Added below "ＣＯＭポートが間違っています" when the device exists but the user
// may not open it.
inline constexpr char kPermissionHint[] =
    "\n\n権限がありません: sudo usermod -aG dialout $USER の後、再ログインして下さい";
// Likewise when another program holds the port; the holder follows where it
// could be found out.
inline constexpr char kBusyHint[] = "\n\n他のプログラムが使用中です";
// Likewise when there is no such device (an adapter unplugged, a typo).
inline constexpr char kNotFoundHint[] = "\n\nデバイスがありません（アダプタの接続を確認して下さい）";

// The line added below "ＣＯＭポートが間違っています" for a failed open.
std::string OpenFailureHint(const OpenError& error);

class CPortSelectDlg final : public QDialog {
  Q_OBJECT

 public:
  enum { IDD = 129 };
  using PortLister = std::function<std::vector<std::string>()>;

  // listPorts gives the names to offer (when empty: the free ports of
  // ListPorts, then the simulated boards' links). The port last opened is
  // offered first when it is listed again; settings may be nullptr.
  explicit CPortSelectDlg(DownloadSession& session, PortLister listPorts = {},
                          QSettings* settings = nullptr, QWidget* parent = nullptr);

  QString m_strPort;
  int m_nStopBits = 1;
  int m_nParity = 0;

 protected:
  void OnInitDialog();
  void OnOK();

 private:
  DownloadSession& session_;
  PortLister listPorts_;
  QSettings* settings_;
  QPushButton* ok_ = nullptr;
  QPushButton* cancel_ = nullptr;
  QComboBox* portList_ = nullptr;
  QLabel* label_ = nullptr;
};

}  // namespace porten::app
