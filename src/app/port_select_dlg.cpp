#include "app/port_select_dlg.h"

#include <algorithm>

#include <QAbstractItemView>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionFrame>

#include "app/dialog_units.h"
#include "app/message_box.h"
#include "app/remembered.h"
#include "app/widget_ids.h"
#include "core/texts.h"
#include "link/board_links.h"
#include "link/link.h"
#include "link/port_list.h"
#include "protocol/download_session.h"

namespace porten::app {

namespace {

// The ports another program holds, or that we may not open, are not
// offered. The links of simulated boards follow the real ports.
std::vector<std::string> OfferedPorts() {
  std::vector<std::string> names;
  for (const PortInfo& port : ListPorts()) {
    if (port.availability == PortAvailability::kFree) names.push_back(port.name);
  }
  for (const std::string& link : ListBoardLinks()) names.push_back(link);
  return names;
}

// The combo box's edit field. A path longer than the field shows elided in
// the middle ("/run/user/…/ttySIM0") rather than cut at the left, except
// while the operator edits it.
class ElidingLineEdit final : public QLineEdit {
 public:
  using QLineEdit::QLineEdit;

 protected:
  void paintEvent(QPaintEvent* event) override {
    QStyleOptionFrame option;
    initStyleOption(&option);
    // QLineEdit keeps two pixels between the contents rectangle and the text.
    constexpr int kTextMargin = 2;
    const QRect contents = style()
                               ->subElementRect(QStyle::SE_LineEditContents, &option, this)
                               .marginsRemoved(textMargins())
                               .adjusted(kTextMargin, 0, -kTextMargin, 0);
    const QFontMetrics metrics = fontMetrics();
    if (hasFocus() || metrics.horizontalAdvance(text()) <= contents.width()) {
      QLineEdit::paintEvent(event);
      return;
    }
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_PanelLineEdit, &option, &painter, this);
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text));
    painter.drawText(contents, Qt::AlignLeft | Qt::AlignVCenter,
                     metrics.elidedText(text(), Qt::ElideMiddle, contents.width()));
  }
};

}  // namespace

CPortSelectDlg::CPortSelectDlg(DownloadSession& session, PortLister listPorts, QSettings* settings,
                               QWidget* parent)
    : QDialog(parent), session_(session), listPorts_(std::move(listPorts)), settings_(settings) {
  // Modal frame and a caption without a system menu: no close box, so the
  // only ways out are OK and "ﾌﾟﾛｸﾞﾗﾑ終了" (and Escape, which is the latter).
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  setWindowTitle(QString::fromUtf8(text::kPortDialogCaption));
  setObjectName(QStringLiteral("IDD_PORT_SELECT"));
  setFont(DialogFont());
  DialogLayout layout;

  ok_ = new QPushButton(QStringLiteral("OK"), this);
  layout.Add(ok_, {19, 41, 50, 14});
  ok_->setDefault(true);
  SetControlId(ok_, "IDOK", IDOK);

  cancel_ = new QPushButton(QStringLiteral("ﾌﾟﾛｸﾞﾗﾑ終了"), this);
  layout.Add(cancel_, {88, 42, 50, 14});
  SetControlId(cancel_, "IDCANCEL", IDCANCEL);

  portList_ = new QComboBox(this);
  portList_->setLineEdit(new ElidingLineEdit(portList_));
  portList_->setInsertPolicy(QComboBox::NoInsert);
  portList_->setMaxVisibleItems(8);
  layout.Add(portList_, {68, 13, 57, 57});
  SetControlId(portList_, "IDC_PORT_LIST", IDC_PORT_LIST);
  // The whole name, whatever the field shows of it.
  connect(portList_, &QComboBox::currentTextChanged, this, [this](const QString& text) {
    portList_->setToolTip(text);
    portList_->lineEdit()->setToolTip(text);
  });

  label_ = new QLabel(QStringLiteral("COMポート："), this);
  label_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  layout.Add(label_, {10, 11, 49, 12});
  SetControlId(label_, "IDC_STATIC", IDC_STATIC);

  setTabOrder(ok_, cancel_);
  setTabOrder(cancel_, portList_);

  layout.Apply(this, {163, 71});
  connect(ok_, &QPushButton::clicked, this, &CPortSelectDlg::OnOK);
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
  OnInitDialog();
}

void CPortSelectDlg::OnInitDialog() {
  portList_->clear();
  const std::vector<std::string> names = listPorts_ ? listPorts_() : OfferedPorts();
  for (const std::string& name : names) portList_->addItem(QString::fromStdString(name));
  const QString last =
      Recall(settings_, kPortKey, [this](const QString& port) { return portList_->findText(port) >= 0; });
  if (portList_->count() > 0) portList_->setCurrentIndex(last.isEmpty() ? 0 : portList_->findText(last));
  // The box keeps its template width; the list that drops down from it is
  // as wide as its longest entry.
  constexpr int kItemPadding = 16;  // the item's margins and a little air
  const int scrollBar = portList_->count() > portList_->maxVisibleItems()
                            ? portList_->style()->pixelMetric(QStyle::PM_ScrollBarExtent)
                            : 0;
  const QFontMetrics metrics(portList_->view()->font());
  int widest = portList_->width();
  for (int i = 0; i < portList_->count(); ++i) {
    widest = std::max(widest, metrics.horizontalAdvance(portList_->itemText(i)) + kItemPadding + scrollBar);
  }
  portList_->view()->setMinimumWidth(widest);
  m_nStopBits = 1;
  m_nParity = 0;
  // The focus starts on OK, the first control, so Enter takes the port
  // offered; a click or Tab into the box edits it.
  ok_->setFocus();
}

std::string OpenFailureHint(const OpenError& error) {
  switch (error.kind) {
    case OpenFailure::kPermission:
      return kPermissionHint;
    case OpenFailure::kBusy:
      return error.holder.empty() ? std::string(kBusyHint)
                                  : std::string(kBusyHint) + "（in use by " + error.holder + "）";
    case OpenFailure::kNotFound:
      return kNotFoundHint;
    default:
      return "";
  }
}

void CPortSelectDlg::OnOK() {
  m_strPort = portList_->currentText().trimmed();
  if (m_strPort.isEmpty()) {
    ShowMessageBox(this, text::kSelectPort, text::kPortCaption);
    return;
  }
  if (!session_.OpenInitialPort(DevicePath(m_strPort.toStdString()))) {
    const std::string message = text::kWrongPort + OpenFailureHint(session_.LastOpenError());
    ShowMessageBox(this, message, text::kPortCaption);
    return;
  }
  Remember(settings_, kPortKey, m_strPort);
  accept();
}

}  // namespace porten::app
