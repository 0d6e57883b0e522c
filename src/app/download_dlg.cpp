#include "app/download_dlg.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "app/boot_files.h"
#include "app/dialog_units.h"
#include "app/qt_window_system.h"
#include "app/remembered.h"
#include "app/widget_ids.h"
#include "core/texts.h"
#include "protocol/download_session.h"

namespace porten::app {

namespace {

QPushButton* MakeButton(QWidget* parent, DialogLayout& layout, const char* caption, const char* name,
                        int id, QRect rect) {
  auto* button = new QPushButton(QString::fromUtf8(caption), parent);
  layout.Add(button, rect);
  // A button with the focus takes Enter; elsewhere Enter goes to "終了".
  button->setAutoDefault(true);
  SetControlId(button, name, id);
  return button;
}

QCheckBox* MakeCheckBox(QWidget* parent, DialogLayout& layout, const char* caption, const char* name,
                        int id, QRect rect) {
  auto* box = new QCheckBox(QString::fromUtf8(caption), parent);
  layout.Add(box, rect);
  SetControlId(box, name, id);
  return box;
}

// How long the exit waits between looks at the receive thread. It ends
// within a few milliseconds of being asked; the events keep flowing meanwhile.
constexpr int kStopPollMs = 20;

}  // namespace

CDownloadDlg::CDownloadDlg(DownloadSession& session, QtWindowSystem& window, std::string startDir,
                           QSettings* settings, QWidget* parent)
    : QDialog(parent),
      session_(session),
      window_(window),
      startDir_(std::move(startDir)),
      settings_(settings) {
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setWindowTitle(QString::fromUtf8(text::kMainCaption));
  setObjectName(QStringLiteral("IDD_DOWNLOAD_DIALOG"));
  setFont(DialogFont());
  DialogLayout layout;

  icon_.addFile(QStringLiteral(":/icons/porten-32.png"), QSize(32, 32));
  icon_.addFile(QStringLiteral(":/icons/porten-16.png"), QSize(16, 16));
  setWindowIcon(icon_);

  // Template order, which is also the tab order.
  exit_ = MakeButton(this, layout, "終了", "IDOK", IDOK, {66, 140, 50, 14});
  exit_->setDefault(true);

  filePath_ = new QLineEdit(this);
  layout.Add(filePath_, {12, 17, 113, 12});
  SetControlId(filePath_, "IDC_FILE_PATH", IDC_FILE_PATH);

  browseButton_ = MakeButton(this, layout, "参照", "IDC_BROWSE", IDC_BROWSE, {129, 18, 39, 15});
  write_ = MakeButton(this, layout, text::kWrite, "IDC_WRITE", IDC_WRITE, {129, 37, 39, 15});

  address_ = new QLineEdit(this);
  address_->setReadOnly(true);
  address_->setAlignment(Qt::AlignCenter);
  layout.Add(address_, {13, 36, 110, 12});
  SetControlId(address_, "IDC_ADDRESS", IDC_ADDRESS);

  group_ = new QGroupBox(QStringLiteral("　ＨＥＸﾌｧｲﾙリード　"), this);
  group_->setAlignment(Qt::AlignHCenter);
  layout.Add(group_, {7, 3, 170, 72});
  group_->setFocusPolicy(Qt::NoFocus);
  SetControlId(group_, "IDC_STATIC", IDC_STATIC);

  // File names and texts from the target show as they are, never as markup.
  status_ = new QLabel(this);
  status_->setTextFormat(Qt::PlainText);
  status_->setAlignment(Qt::AlignCenter);
  status_->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  layout.Add(status_, {8, 115, 168, 12});
  SetControlId(status_, "IDC_STATUS", IDC_STATUS);
  progress_ = MakeProgressBar();
  layout.Add(progress_, {8, 129, 168, 8});

  bootFiles_ = new QComboBox(this);
  bootFiles_->setEditable(true);
  bootFiles_->setInsertPolicy(QComboBox::NoInsert);
  layout.Add(bootFiles_, {7, 99, 169, 36});
  SetControlId(bootFiles_, "IDC_BOOT_FILES", IDC_BOOT_FILES);

  cpuSelect_ = MakeButton(this, layout, "CPU選択", "IDC_CPU_SELECT", IDC_CPU_SELECT, {129, 79, 39, 15});

  bootFileName_ = new QLabel(this);
  bootFileName_->setTextFormat(Qt::PlainText);
  bootFileName_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  bootFileName_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  layout.Add(bootFileName_, {12, 81, 113, 10});
  SetControlId(bootFileName_, "IDC_BOOT_FILE_NAME", IDC_BOOT_FILE_NAME);

  ramTransfer_ =
      MakeCheckBox(this, layout, "RAM転送", "IDC_RAM_TRANSFER", IDC_RAM_TRANSFER, {83, 57, 42, 10});
  execute_ = MakeButton(this, layout, "実行", "IDC_EXECUTE", IDC_EXECUTE, {129, 56, 39, 15});
  cpuBootImitation_ = MakeCheckBox(this, layout, "CPU BOOTもどき", "IDC_CPU_BOOT_IMITATION",
                                   IDC_CPU_BOOT_IMITATION, {14, 57, 64, 10});

  // The group box is only a frame drawn behind the controls it surrounds.
  group_->lower();
  QWidget* tabOrder[] = {exit_,     filePath_,  browseButton_, write_,  address_,
                         bootFiles_, cpuSelect_, ramTransfer_,  execute_, cpuBootImitation_};
  for (size_t i = 1; i < std::size(tabOrder); ++i) setTabOrder(tabOrder[i - 1], tabOrder[i]);

  layout.Apply(this, {183, 161});
  TakeDrops();

  connect(exit_, &QPushButton::clicked, this, [this] { Guarded([this] { OnOK(); }); });
  connect(browseButton_, &QPushButton::clicked, this, [this] { Guarded([this] { OnBrowse(); }); });
  connect(write_, &QPushButton::clicked, this, [this] { Guarded([this] { OnWrite(); }); });
  connect(cpuSelect_, &QPushButton::clicked, this, [this] { Guarded([this] { OnCpuSelect(); }); });
  connect(ramTransfer_, &QCheckBox::clicked, this, [this] { Guarded([this] { OnRamTransfer(); }); });
  connect(execute_, &QPushButton::clicked, this, [this] { Guarded([this] { OnExecute(); }); });
  connect(cpuBootImitation_, &QCheckBox::clicked, this,
          [this] { Guarded([this] { OnCpuBootImitation(); }); });

  window_.Attach(Surface::kStatus, status_);
  window_.Attach(Surface::kAddress, address_);
  window_.Attach(Surface::kWriteCaption, write_);
  window_.Attach(Surface::kFilePath, filePath_);
  window_.Attach(Surface::kBootFileName, bootFileName_);
  window_.SetMessageParent(this);

  // An ending may come on the receive thread: 実行 is enabled again on ours.
  session_.OnEnded([this](const Ended&) {
    QMetaObject::invokeMethod(this, [this] { EnableExecute(); }, Qt::QueuedConnection);
  });
  session_.StartReceiveThread();
  OnInitDialog();
}

CDownloadDlg::~CDownloadDlg() {
  // The receive thread posts to these widgets; it must be gone first.
  session_.JoinReceiveThread();
  session_.OnEnded(nullptr);
  for (Surface s : {Surface::kStatus, Surface::kAddress, Surface::kWriteCaption, Surface::kFilePath,
                    Surface::kBootFileName}) {
    window_.Attach(s, nullptr);
  }
  window_.SetMessageParent(nullptr);
}

template <typename Handler>
void CDownloadDlg::Guarded(Handler handler) {
  // While the exit waits for the receive thread the window still handles
  // clicks; none of them may start anything new.
  if (closing_) return;
  handler();
}

void CDownloadDlg::OnInitDialog() {
  window_.SetText(Surface::kStatus, text::kTwoSpaces);
  window_.SetText(Surface::kBootFileName, text::kTwoSpaces);
  EnableImageControls(false);
  const DownloadView view = session_.Snapshot();
  ramTransfer_->setChecked(view.ramTransfer);
  cpuBootImitation_->setChecked(view.cpuBootImitation);

  bootFiles_->clear();
  for (const std::string& name : ListBootFiles(startDir_)) {
    bootFiles_->addItem(QFile::decodeName(QByteArray::fromStdString(name)));
  }
  if (bootFiles_->count() > 0) bootFiles_->setCurrentIndex(0);

  // What was chosen last time, as far as it is still there. The image is only
  // shown: it loads when the operator confirms it in the file dialog.
  const QString lastBoot = Recall(settings_, kBootFileKey, [](const QString& path) {
    return QFileInfo(path).isFile();
  });
  const QFileInfo boot(lastBoot);
  if (!lastBoot.isEmpty() && boot.absolutePath() == QDir(StartDir()).absolutePath()) {
    const int index = bootFiles_->findText(boot.fileName());
    if (index >= 0) bootFiles_->setCurrentIndex(index);
  }
  lastImage_ = Recall(settings_, kImageKey, [](const QString& path) { return QFileInfo(path).isFile(); });
  if (!lastImage_.isEmpty()) {
    window_.SetText(Surface::kFilePath, QFile::encodeName(lastImage_).toStdString());
    window_.SetText(Surface::kAddress, text::kPleaseLoad);
  }
}

QString CDownloadDlg::StartDir() const { return QFile::decodeName(QByteArray::fromStdString(startDir_)); }

void CDownloadDlg::EnableImageControls(bool enable) {
  filePath_->setEnabled(enable);
  browseButton_->setEnabled(enable);
  write_->setEnabled(enable);
}

void CDownloadDlg::EnableBootControls(bool enable) {
  cpuSelect_->setEnabled(enable);
  bootFiles_->setEnabled(enable);
}

std::string CDownloadDlg::RunFileDialog(QWidget* parent, const QString& lastImage) {
  QFileDialog dialog(parent);
  // Qt's own dialog, which speaks Japanese through Qt's translation; the
  // desktop's would follow the desktop's language.
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  // The format is told from the content; the filters only narrow the list.
  dialog.setNameFilters({QStringLiteral("HEXﾌｧｲﾙ (*.mot)"), QStringLiteral("ﾓﾄﾛｰﾗ Sﾌｧｲﾙ (*.mhx)"),
                         QStringLiteral("ｲﾝﾃﾙHEXﾌｧｲﾙ (*.hex *.ihx)"),
                         QStringLiteral("ELFﾌｧｲﾙ (*.elf *.abs *.out)"), QStringLiteral("全部 (*.*)")});
  dialog.setDefaultSuffix(QStringLiteral("mot"));
  if (lastImage.isEmpty()) {
    dialog.selectFile(QStringLiteral("*.mot"));
  } else {
    dialog.setDirectory(QFileInfo(lastImage).absolutePath());
    dialog.selectFile(QFileInfo(lastImage).fileName());
  }
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  const QString path = QFileInfo(dialog.selectedFiles().constFirst()).absoluteFilePath();
  return QFile::encodeName(path).toStdString();
}

void CDownloadDlg::OnBrowse() {
  if (!session_.CanBrowse()) return;  // a transfer or a load runs
  const std::string path = browse_ ? browse_(this) : RunFileDialog(this, lastImage_);
  if (path.empty()) return;
  ChooseImage(path);
}

void CDownloadDlg::OnWrite() {
  if (ReloadBeforeWrite()) return;
  session_.OnWrite();
  EnableExecute();
  Watch();
}

// A "1" among the blocks of a transfer would land in the image.
void CDownloadDlg::EnableExecute() { execute_->setEnabled(!session_.Snapshot().busy); }

void CDownloadDlg::OnCpuSelect() {
  const QString text = bootFiles_->currentText();
  const std::string name = QFile::encodeName(text).toStdString();
  if (!text.isEmpty()) Remember(settings_, kBootFileKey, QDir(StartDir()).absoluteFilePath(text));
  if (ChooseBootLoader(name)) EnableImageControls(true);
}

void CDownloadDlg::OnRamTransfer() {
  const bool on = session_.OnRamTransfer();
  if (on) {
    EnableImageControls(true);
    EnableBootControls(false);
  } else {
    if (session_.Snapshot().slotLength[1] == 0) EnableImageControls(false);
    EnableBootControls(true);
  }
  ramTransfer_->setChecked(on);
}

void CDownloadDlg::OnExecute() { session_.OnExecute(); }

void CDownloadDlg::OnCpuBootImitation() { cpuBootImitation_->setChecked(session_.OnCpuBootImitation()); }

void CDownloadDlg::StopReceiveThread() {
  closing_ = true;
  session_.RequestStop();
  // Not a plain sleep: the receive thread may be posting a text to these
  // widgets right now, and the events must keep flowing for it to finish.
  while (!session_.ThreadExited()) {
    QEventLoop loop;
    QTimer::singleShot(kStopPollMs, &loop, &QEventLoop::quit);
    loop.exec();
  }
  session_.JoinReceiveThread();
}

void CDownloadDlg::OnOK() {
  if (session_.Snapshot().busy) session_.Abort();
  StopReceiveThread();
  accept();
}

void CDownloadDlg::closeEvent(QCloseEvent* event) {
  if (closing_) {
    event->ignore();  // already on the way out through "終了"
    return;
  }
  if (session_.Snapshot().busy) {
    // The close box stops a running transfer, not the tool.
    session_.Abort();
    event->ignore();
    return;
  }
  StopReceiveThread();
  QDialog::done(QDialog::Rejected);
  event->accept();
}

void CDownloadDlg::reject() {
  // Escape. Leaving would free the port and the image under the running
  // receive thread, and a stray Escape should not end a download anyway; so
  // it does nothing while the thread runs (which is the whole life of the
  // dialog). "終了", Enter and the close box are the ways out.
  if (!session_.ThreadExited()) return;
  QDialog::reject();
}

void CDownloadDlg::paintEvent(QPaintEvent* event) {
  if (!isMinimized()) {
    QDialog::paintEvent(event);
    return;
  }
  // Some window managers still draw a minimised window's client area: show
  // the icon there, centred.
  QPainter painter(this);
  painter.fillRect(rect(), palette().window());
  const QSize size(32, 32);
  const int x = (width() - size.width() + 1) / 2;
  const int y = (height() - size.height() + 1) / 2;
  painter.drawPixmap(x, y, icon_.pixmap(size));
}

}  // namespace porten::app
