#include "app/qt_window_system.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QThread>

#include "app/message_box.h"

namespace porten::app {

namespace {

int SurfaceIndex(Surface surface) {
  switch (surface) {
    case Surface::kStatus:
      return 0;
    case Surface::kAddress:
      return 1;
    case Surface::kWriteCaption:
      return 2;
    case Surface::kFilePath:
      return 3;
    case Surface::kBootFileName:
      return 4;
  }
  return -1;
}

int TimerIndex(int id) {
  switch (id) {
    case TIMER_LOAD:
      return 0;
    case TIMER_WRITE_POLL:
      return 1;
    case TIMER_BOOT_SYNC:
      return 2;
    default:
      return -1;
  }
}

constexpr int kTimerIds[] = {TIMER_LOAD, TIMER_WRITE_POLL, TIMER_BOOT_SYNC};

}  // namespace

QtWindowSystem::QtWindowSystem() {
  for (int i = 0; i < kTimers; ++i) {
    timers_[i].setSingleShot(true);
    timers_[i].setTimerType(Qt::PreciseTimer);
    const int id = kTimerIds[i];
    QObject::connect(&timers_[i], &QTimer::timeout, &context_, [this, id] {
      if (target_) target_->OnTimer(id);
    });
  }
}

QtWindowSystem::~QtWindowSystem() = default;

bool QtWindowSystem::OnGuiThread() const { return QThread::currentThread() == context_.thread(); }

void QtWindowSystem::Request(std::atomic<uint64_t>& counter, std::function<void()> apply) {
  const uint64_t ticket = ++counter;
  if (OnGuiThread()) {
    apply();
    return;
  }
  QMetaObject::invokeMethod(
      &context_,
      [&counter, ticket, apply = std::move(apply)] {
        if (counter.load() == ticket) apply();
      },
      Qt::QueuedConnection);
}

void QtWindowSystem::Attach(Surface surface, QWidget* widget) {
  const int index = SurfaceIndex(surface);
  if (index < 0) return;
  sinks_[index] = widget;
  if (widget && textSet_[index]) ApplyText(index, texts_[index]);
}

QString QtWindowSystem::Text(Surface surface) const {
  const int index = SurfaceIndex(surface);
  return index < 0 ? QString() : texts_[index];
}

void QtWindowSystem::ApplyText(int index, const QString& text) {
  texts_[index] = text;
  textSet_[index] = true;
  QWidget* widget = sinks_[index];
  if (!widget) return;
  if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
    edit->setText(text);  // leaves the caret after the last character
  } else if (auto* label = qobject_cast<QLabel*>(widget)) {
    label->setText(text);
  } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
    button->setText(text);
  }
}

void QtWindowSystem::SetText(Surface surface, const std::string& text) {
  const int index = SurfaceIndex(surface);
  if (index < 0) return;
  Request(textRequests_[index],
          [this, index, qtext = QString::fromStdString(text)] { ApplyText(index, qtext); });
}

void QtWindowSystem::ShowMessage(const std::string& text, const std::string& caption) {
  if (OnGuiThread()) {
    ShowMessageBox(messageParent_, text, caption);
    return;
  }
  // Not expected (boxes are a window-thread affair), but a box must never
  // be run from a thread without a GUI; hand it over instead.
  QMetaObject::invokeMethod(
      &context_, [this, text, caption] { ShowMessageBox(messageParent_, text, caption); },
      Qt::QueuedConnection);
}

void QtWindowSystem::SetTimer(int id, int ms) {
  const int index = TimerIndex(id);
  if (index < 0) return;
  Request(timerRequests_[index], [this, index, ms] { timers_[index].start(ms < 0 ? 0 : ms); });
}

void QtWindowSystem::KillTimer(int id) {
  const int index = TimerIndex(id);
  if (index < 0) return;
  Request(timerRequests_[index], [this, index] { timers_[index].stop(); });
}

}  // namespace porten::app
