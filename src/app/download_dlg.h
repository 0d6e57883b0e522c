// The main dialog (template 102): boot loader, image, Write/Abort, Execute
// and the way out. The download itself is the DownloadSession; this class
// turns clicks into its commands and keeps the controls' enabling.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/download_session.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMimeData;
class QProgressBar;
class QPushButton;
class QSettings;

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
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

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

  // ---- Following the session (download_dlg_watch.cpp) -------------------
  // A version of a file on disk: a rebuilt or replaced file differs in one.
  struct FileStamp {
    uint64_t device = 0, inode = 0;
    int64_t size = 0, mtimeNs = 0;
    bool operator==(const FileStamp&) const = default;
  };
  // The file a slot was loaded from, as it was when its load started.
  struct LoadedFile {
    int target = 0;    // 0 boot loader, 1 image
    std::string name;  // as the load was given it: a boot loader relative to the start directory
    std::optional<FileStamp> stamp;
  };

  QProgressBar* MakeProgressBar();
  void TakeDrops();
  static std::optional<FileStamp> StampOf(const std::string& path);
  std::string PathOf(const LoadedFile& file) const;
  static QString DroppedFile(const QMimeData* mime);
  bool CanTakeImage() const;
  // "参照" confirmed (or a file dropped): loads path as the image.
  void ChooseImage(const std::string& path);
  // "CPU選択" with name; the session's answer.
  bool ChooseBootLoader(const std::string& name);
  // Before a Write: loads the first file it would send that has changed on
  // disk since its load, and writes once that load is through. True when
  // such a load started or runs; the press is then taken care of.
  bool ReloadBeforeWrite();
  // Looks at the session while a transfer or a load runs, and once more after.
  void Watch();
  void Refresh();
  void FollowTransfer(const DownloadView& view);
  void FollowLoad(const DownloadView& view);
  void FollowImage(const DownloadView& view);

  QProgressBar* progress_ = nullptr;
  QTimer watch_;
  uint32_t barTransfer_ = 0;  // the transfer the bar shows (0: none yet)
  bool barEnded_ = true;
  int barBoot_ = 0;  // the bar's share of the boot upload
  std::optional<LoadedFile> loaded_[2];
  std::optional<LoadedFile> awaited_;  // the load started last, until it ends
  bool writeAfterLoad_ = false;
  std::shared_ptr<const std::vector<uint8_t>> digested_;  // the image the tool tip describes
};

}  // namespace porten::app
