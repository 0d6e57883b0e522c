// What the main dialog follows of the session beyond its texts: the
// progress bar, the image's digests on the address line, the files on disk
// that a Write would send, and the drop of an image file.
#include <sys/stat.h>

#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>
#include <algorithm>
#include <cstdio>

#include "app/download_dlg.h"
#include "app/remembered.h"
#include "app/widget_ids.h"
#include "image/digest.h"
#include "protocol/download_session.h"

namespace porten::app {

namespace {

// A boot loader byte goes out and comes back at 4800 bit/s before the next
// one leaves: 20 bit times at 4800, where an image byte takes 10 at 38400.
// Weighted so, the bar moves at about one pace through both phases.
constexpr int kBootByteWeight = 16;

// Often enough for the bar to move smoothly, seldom enough to cost nothing.
constexpr int kWatchMs = 40;

// The digests as `porten-cli info` prints them, line for line.
QString DigestText(const std::vector<uint8_t>& bytes) {
  char crc[16];
  std::snprintf(crc, sizeof crc, "%08x", Crc32(bytes));
  return QStringLiteral("sha256: %1\ncrc32: %2")
      .arg(QString::fromStdString(Sha256Hex(bytes)), QString::fromLatin1(crc));
}

}  // namespace

QProgressBar* CDownloadDlg::MakeProgressBar() {
  auto* bar = new QProgressBar(this);
  // The status line gives the numbers; the bar only shows how far.
  bar->setTextVisible(false);
  bar->setRange(0, 1);
  bar->setValue(0);
  SetControlId(bar, "IDC_PROGRESS", IDC_PROGRESS);
  watch_.setInterval(kWatchMs);
  connect(&watch_, &QTimer::timeout, this, [this] { Refresh(); });
  return bar;
}

void CDownloadDlg::TakeDrops() {
  setAcceptDrops(true);
  // The edit fields would take a dropped file's name as text.
  for (QLineEdit* edit : findChildren<QLineEdit*>()) edit->setAcceptDrops(false);
}

// ---- Files on disk ----------------------------------------------------------

std::optional<CDownloadDlg::FileStamp> CDownloadDlg::StampOf(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileStamp{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                   static_cast<int64_t>(st.st_size),
                   static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

std::string CDownloadDlg::PathOf(const LoadedFile& file) const {
  // The load opens a relative name from the start directory.
  if (file.name.empty() || file.name.front() == '/') return file.name;
  return startDir_ + "/" + file.name;
}

void CDownloadDlg::ChooseImage(const std::string& path) {
  if (!session_.CanBrowse()) return;
  Refresh();  // takes in the load that ended last before this one starts
  lastImage_ = QFile::decodeName(QByteArray::fromStdString(path));
  Remember(settings_, kImageKey, lastImage_);
  // The stamp is taken before the file is read: if it changes while it
  // loads, the next Write loads it again.
  LoadedFile file{1, path, {}};
  file.stamp = StampOf(PathOf(file));
  loaded_[1].reset();  // the slot is emptied now, whatever comes of the load
  awaited_ = std::move(file);
  session_.OnBrowse(path);
  Watch();
}

bool CDownloadDlg::ChooseBootLoader(const std::string& name) {
  Refresh();
  const DownloadView view = session_.Snapshot();
  if (!name.empty() && !view.busy) {
    loaded_[0].reset();  // emptied by the press, even when it only cancels a load
    if (view.ready) {
      LoadedFile file{0, name, {}};
      file.stamp = StampOf(PathOf(file));
      awaited_ = std::move(file);
    }
  }
  const bool ran = session_.OnCpuSelect(name);
  Watch();
  return ran;
}

bool CDownloadDlg::ReloadBeforeWrite() {
  if (writeAfterLoad_) return true;  // pressed again while it reloads: the first press stands
  Refresh();  // the files of the loads that ended since the last look
  const DownloadView view = session_.Snapshot();
  if (view.busy || !view.ready) return false;  // an abort, or refused during a load
  for (int target : {0, 1}) {
    if (target == 0 && view.ramTransfer) continue;  // sends no boot loader
    if (!loaded_[target] || StampOf(PathOf(*loaded_[target])) == loaded_[target]->stamp) continue;
    const std::string name = loaded_[target]->name;  // the load empties the slot
    writeAfterLoad_ = true;
    if (target == 0) {
      ChooseBootLoader(name);
    } else {
      ChooseImage(name);
    }
    return true;
  }
  return false;
}

// ---- Following --------------------------------------------------------------

void CDownloadDlg::Watch() {
  if (!watch_.isActive()) watch_.start();
  Refresh();
}

void CDownloadDlg::Refresh() {
  const DownloadView view = session_.Snapshot();
  FollowTransfer(view);
  FollowImage(view);
  FollowLoad(view);  // last: it may start the write
  const DownloadView now = session_.Snapshot();
  if (closing_ || !(now.busy || !now.ready || awaited_ || writeAfterLoad_ || !barEnded_)) {
    watch_.stop();
  }
}

void CDownloadDlg::FollowTransfer(const DownloadView& view) {
  if (view.transfer != barTransfer_) {  // a Write started the next transfer
    barTransfer_ = view.transfer;
    barEnded_ = false;
    barBoot_ = view.ramTransfer ? 0 : static_cast<int>(view.slotLength[0]) * kBootByteWeight;
    progress_->setRange(0, std::max(1, barBoot_ + static_cast<int>(view.slotLength[1])));
    progress_->setValue(0);
  }
  if (barEnded_) return;
  if (!view.busy) {
    if (view.outcome == Outcome::kNone) return;  // its end is on its way
    barEnded_ = true;
    // Otherwise it stays where the transfer stopped.
    if (view.outcome == Outcome::kWritten) progress_->setValue(progress_->maximum());
    return;
  }
  int value = progress_->value();
  if (view.phase == Phase::kBootHandshake || view.phase == Phase::kBootUpload ||
      view.phase == Phase::kBootWaitStart) {
    value = static_cast<int>(std::min(view.pos, view.slotLength[0])) * kBootByteWeight;
  } else if (IsWritePhase(view.phase)) {
    value = barBoot_ + static_cast<int>(std::min(view.pos, view.slotLength[1]));
  }
  progress_->setValue(std::max(value, progress_->value()));
}

void CDownloadDlg::FollowImage(const DownloadView& view) {
  if (view.writeImage == digested_) return;
  digested_ = view.writeImage;
  address_->setToolTip(digested_ ? DigestText(*digested_) : QString());
}

void CDownloadDlg::FollowLoad(const DownloadView& view) {
  if (!awaited_ || !view.ready) return;
  LoadedFile file = std::move(*awaited_);
  awaited_.reset();
  const bool loaded = view.loadOutcome == LoadOutcome::kLoaded;
  if (loaded) loaded_[file.target] = std::move(file);
  if (!std::exchange(writeAfterLoad_, false)) return;
  // A file that is gone or no longer loads is not written, nor is the old
  // image: the load's own message has said why.
  if (loaded && !closing_) OnWrite();
}

// ---- Drop to load ---------------------------------------------------------------

QString CDownloadDlg::DroppedFile(const QMimeData* mime) {
  if (!mime || !mime->hasUrls() || mime->urls().size() != 1) return {};
  const QUrl url = mime->urls().constFirst();
  if (!url.isLocalFile()) return {};
  const QFileInfo info(url.toLocalFile());
  return info.isFile() ? info.absoluteFilePath() : QString();
}

bool CDownloadDlg::CanTakeImage() const {
  // As "参照" would: not before a boot loader is chosen (or RAM transfer is
  // on), and not while a transfer or a load runs.
  return !closing_ && browseButton_->isEnabled() && session_.CanBrowse();
}

void CDownloadDlg::dragEnterEvent(QDragEnterEvent* event) {
  if (CanTakeImage() && !DroppedFile(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void CDownloadDlg::dropEvent(QDropEvent* event) {
  const QString file = DroppedFile(event->mimeData());
  if (file.isEmpty() || !CanTakeImage()) return;
  event->acceptProposedAction();
  ChooseImage(QFile::encodeName(file).toStdString());
}

}  // namespace porten::app
