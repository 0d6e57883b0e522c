#include "app/message_box.h"

#include <QMessageBox>
#include <QString>

namespace porten::app {

namespace {
// Only ever touched on the GUI thread.
MessageHook& Hook() {
  static MessageHook hook;
  return hook;
}
}  // namespace

void ShowMessageBox(QWidget* parent, const std::string& text, const std::string& caption) {
  if (Hook()) {
    Hook()(text, caption);
    return;
  }
  QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption), QString::fromStdString(text),
                  QMessageBox::Ok, parent);
  box.setTextFormat(Qt::PlainText);  // a path in the text must not turn into markup
  box.exec();
}

MessageHook SetMessageHook(MessageHook hook) {
  MessageHook previous = std::move(Hook());
  Hook() = std::move(hook);
  return previous;
}

}  // namespace porten::app
