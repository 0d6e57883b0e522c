#include "app/port_select_dlg.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/dialog_units.h"
#include "app/message_box.h"
#include "app/widget_ids.h"
#include "core/texts.h"
#include "link/link.h"
#include "link/port_list.h"
#include "protocol/download_session.h"

namespace porten::app {

namespace {

// The ports another program holds, or that we may not open, are not offered.
std::vector<std::string> FreePorts() {
  std::vector<std::string> names;
  for (const PortInfo& port : ListPorts()) {
    if (port.availability == PortAvailability::kFree) names.push_back(port.name);
  }
  return names;
}

}  // namespace

CPortSelectDlg::CPortSelectDlg(DownloadSession& session, PortLister listPorts, QWidget* parent)
    : QDialog(parent), session_(session), listPorts_(std::move(listPorts)) {
  // Modal frame and a caption without a system menu: no close box, so the
  // only ways out are OK and "ﾌﾟﾛｸﾞﾗﾑ終了" (and Escape, which is the latter).
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  setWindowTitle(QString::fromUtf8(text::kPortDialogCaption));
  setObjectName(QStringLiteral("IDD_PORT_SELECT"));
  setFont(DialogFont());
  const DialogUnits du(font());

  ok_ = new QPushButton(QStringLiteral("OK"), this);
  ok_->setGeometry(du.Rect(19, 41, 50, 14));
  ok_->setDefault(true);
  SetControlId(ok_, "IDOK", IDOK);

  cancel_ = new QPushButton(QStringLiteral("ﾌﾟﾛｸﾞﾗﾑ終了"), this);
  cancel_->setGeometry(du.Rect(88, 42, 50, 14));
  SetControlId(cancel_, "IDCANCEL", IDCANCEL);

  // The template's height of 57 includes the drop-down list; the closed box
  // is as tall as its font needs.
  portList_ = new QComboBox(this);
  portList_->setEditable(true);
  portList_->setInsertPolicy(QComboBox::NoInsert);
  portList_->setMaxVisibleItems(8);
  const QRect field = du.Rect(68, 13, 57, 57);
  portList_->setGeometry(field.x(), field.y(), field.width(), portList_->sizeHint().height());
  SetControlId(portList_, "IDC_PORT_LIST", IDC_PORT_LIST);

  label_ = new QLabel(QStringLiteral("COMポート："), this);
  label_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  label_->setGeometry(du.Rect(10, 11, 49, 12));
  SetControlId(label_, "IDC_STATIC", IDC_STATIC);

  setTabOrder(ok_, cancel_);
  setTabOrder(cancel_, portList_);

  setFixedSize(du.Size(163, 71));
  connect(ok_, &QPushButton::clicked, this, &CPortSelectDlg::OnOK);
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
  OnInitDialog();
}

void CPortSelectDlg::OnInitDialog() {
  portList_->clear();
  const std::vector<std::string> names = listPorts_ ? listPorts_() : FreePorts();
  for (const std::string& name : names) portList_->addItem(QString::fromStdString(name));
  if (portList_->count() > 0) portList_->setCurrentIndex(0);
  m_nStopBits = 1;
  m_nParity = 0;
  portList_->setFocus();
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
  accept();
}

}  // namespace porten::app
