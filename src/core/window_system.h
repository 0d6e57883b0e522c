// The only way the download logic reaches a window system: texts on the
// display surfaces, message boxes and numbered one-shot timers. The Qt
// dialog, the command line and the tests each provide one.
#pragma once

#include <cstdint>
#include <string>

namespace porten {

enum TimerId : int {
  TIMER_LOAD = 101,
  TIMER_WRITE_POLL = 102,
  TIMER_BOOT_SYNC = 103,
};

// Control identifiers of the display surfaces in the main dialog.
enum ControlId : int {
  IDC_FILE_PATH = 1000,
  IDC_BROWSE = 1001,
  IDC_WRITE = 1022,
  IDC_PORT_LIST = 1033,
  IDC_ADDRESS = 1034,
  IDC_STATUS = 1036,
  IDC_BOOT_FILES = 1045,
  IDC_CPU_SELECT = 1046,
  IDC_BOOT_FILE_NAME = 1047,
  IDC_RAM_TRANSFER = 1048,
  IDC_EXECUTE = 1049,
  IDC_CPU_BOOT_IMITATION = 1050,
};

enum class Surface : int {
  kStatus = IDC_STATUS,
  kAddress = IDC_ADDRESS,
  kWriteCaption = IDC_WRITE,
  kFilePath = IDC_FILE_PATH,
  kBootFileName = IDC_BOOT_FILE_NAME,
};

// Receives the timers when they fire, always on the window thread.
class TimerTarget {
 public:
  virtual ~TimerTarget() = default;
  virtual void OnTimer(int id) = 0;
};

class WindowSystem {
 public:
  virtual ~WindowSystem() = default;

  // Any thread. Must not wait for the window thread: a call from the receive
  // thread is posted to the window thread's queue.
  virtual void SetText(Surface surface, const std::string& text) = 0;

  // Window thread only, and never with the download lock held (a modal loop
  // would run timers that need it). OK button, no icon.
  virtual void ShowMessage(const std::string& text, const std::string& caption) = 0;

  // One-shot timer: fires once, on the window thread, ms after the call;
  // arming a running timer again restarts it. Any thread.
  virtual void SetTimer(int id, int ms) = 0;
  virtual void KillTimer(int id) = 0;
};

// Sleeps and a monotonic clock, so tests can run the protocol's pauses on a
// fake clock instead of really waiting.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual void Sleep(int ms) = 0;
  virtual int64_t NowMs() = 0;
};

// The steady clock of the machine.
Clock& SystemClock();

}  // namespace porten
