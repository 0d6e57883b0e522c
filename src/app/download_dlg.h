// The main dialog (template 102): boot loader, image, Write/Abort, Execute
// and the way out. The download itself is the DownloadSession; this class
// turns clicks into its commands and keeps the controls' enabling.
#pragma once

#include <QDialog>
#include <QIcon>
#include <functional>
#include <string>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSettings;

namespace porten {
class DownloadSession;
}

namespace porten::app {

class QtWindowSystem;

class CDownloadDlg final : public QDialog {
  Q_OBJECT

 public:
  enum { IDD = 102 };
  // Asks the operator for the write image; empty when cancelled.
  using BrowseHook = std::function<std::string(QWidget* parent)>;

  // Attaches the display surfaces to window and starts the receive thread.
  // settings (may be nullptr) holds the boot file and image of the last run.
  CDownloadDlg(DownloadSession& session, QtWindowSystem& window, std::string startDir,
               QSettings* settings = nullptr, QWidget* parent = nullptr);
  ~CDownloadDlg() override;

  // Replaces the file dialog of "参照" (tests, the screenshot driver).
  void SetBrowseHook(BrowseHook hook) { browse_ = std::move(hook); }
  // The file dialog, opened on lastImage (a full path) when there is one.
  static std::string RunFileDialog(QWidget* parent, const QString& lastImage);

  // Escape: see the definition.
  void reject() override;

 protected:
  void OnInitDialog();
  void OnOK();
  void OnBrowse();
  void OnWrite();
  void OnCpuSelect();
  void OnRamTransfer();
  void OnExecute();
  void OnCpuBootImitation();

  void closeEvent(QCloseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  QString StartDir() const;
  void EnableImageControls(bool enable);
  void EnableBootControls(bool enable);
  void EnableExecute();
  // Stops the receive thread and waits for it while events keep flowing.
  void StopReceiveThread();
  // Runs a handler unless the dialog is already on its way out.
  template <typename Handler>
  void Guarded(Handler handler);

  DownloadSession& session_;
  QtWindowSystem& window_;
  std::string startDir_;
  QSettings* settings_;
  QString lastImage_;  // the path box's text, for the file dialog
  QIcon icon_;
  BrowseHook browse_;
  bool closing_ = false;

  QPushButton* exit_ = nullptr;
  QLineEdit* filePath_ = nullptr;
  QPushButton* browseButton_ = nullptr;
  QPushButton* write_ = nullptr;
  QLineEdit* address_ = nullptr;
  QGroupBox* group_ = nullptr;
  QLabel* status_ = nullptr;
  QComboBox* bootFiles_ = nullptr;
  QPushButton* cpuSelect_ = nullptr;
  QLabel* bootFileName_ = nullptr;
  QCheckBox* ramTransfer_ = nullptr;
  QPushButton* execute_ = nullptr;
  QCheckBox* cpuBootImitation_ = nullptr;
};

}  // namespace porten::app
