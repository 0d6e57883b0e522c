// The window system of the dialog tool: display surfaces are widgets, the
// three download timers are single-shot QTimers, message boxes go through
// ShowMessageBox.
//
// Threads. Calls on the GUI thread act at once. Calls from any other thread
// (the receive thread) are posted to the GUI thread's event queue and never
// wait for it. Each surface and each timer keeps a count of the requests made
// for it, so a posted request that a later one has overtaken (a direct call
// on the GUI thread, say) is dropped on arrival: what shows is always the
// request made last, whichever thread made it.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "core/window_system.h"

namespace porten::app {

class QtWindowSystem final : public WindowSystem {
 public:
  // Must be constructed on the GUI thread.
  QtWindowSystem();
  ~QtWindowSystem() override;
  QtWindowSystem(const QtWindowSystem&) = delete;
  QtWindowSystem& operator=(const QtWindowSystem&) = delete;

  // Who gets the timers. Set once, before the first timer can fire.
  void Bind(TimerTarget* target) { target_ = target; }

  // Shows a surface in widget (a QLabel, QLineEdit or button); a text set
  // before the widget was attached is shown at once. nullptr detaches.
  void Attach(Surface surface, QWidget* widget);
  // Owner of the message boxes.
  void SetMessageParent(QWidget* parent) { messageParent_ = parent; }

  // The last text applied to a surface (GUI thread).
  QString Text(Surface surface) const;

  void SetText(Surface surface, const std::string& text) override;
  void ShowMessage(const std::string& text, const std::string& caption) override;
  void SetTimer(int id, int ms) override;
  void KillTimer(int id) override;

 private:
  static constexpr int kSurfaces = 5;
  static constexpr int kTimers = 3;

  bool OnGuiThread() const;
  // Runs apply now on the GUI thread, or posts it; either way only if no
  // later request for the same key has been made by then.
  void Request(std::atomic<uint64_t>& counter, std::function<void()> apply);
  void ApplyText(int index, const QString& text);

  QObject context_;  // lives on the GUI thread; posted requests die with it
  TimerTarget* target_ = nullptr;
  QPointer<QWidget> messageParent_;
  std::array<QPointer<QWidget>, kSurfaces> sinks_;
  std::array<QString, kSurfaces> texts_;
  std::array<bool, kSurfaces> textSet_{};  // until then a widget keeps its own caption
  std::array<QTimer, kTimers> timers_;
  std::array<std::atomic<uint64_t>, kSurfaces> textRequests_{};
  std::array<std::atomic<uint64_t>, kTimers> timerRequests_{};
};

}  // namespace porten::app
