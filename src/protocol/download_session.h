// One download, run: the download machine, the lock around it, the port, the
// link thread and the file load. The Qt dialog, the command line and the
// tests all drive this object; it reaches them only through the
// WindowSystem it is given.
//
// Threads. Commands and timers come on the window thread. The link thread
// (the receive thread) reads the port and is the only thread that writes,
// closes, reopens or pauses it. Every event goes through one lock: the
// machine decides and its new state is in place before the lock is let go;
// the actions are carried out after, in the order decided. Port actions join
// one queue under that lock, so bytes leave in the order they were decided
// whichever thread decided them, and a reply is always handled in the state
// its request set. Texts and timer requests are handed to the window system
// under the lock too, so they keep the order of the decisions; they never
// block. The lock is never held across a port call, a sleep, a file read or
// a message box, and the link thread never waits for the window thread.
#pragma once

#include <array>
#include <condition_variable>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>
#include <variant>

#include "core/download_state.h"
#include "core/port.h"
#include "core/window_system.h"
#include "protocol/download_machine.h"
#include "image/image_load.h"

namespace porten {

class DownloadSession final : public TimerTarget {
 public:
  struct Options {
    int firstLoadDelayMs = 100;  // the dialog paints "読込開始" first; 0 on the command line
    int writeTimeoutPerByteMs = 10;
    int writeTimeoutConstantMs = 10000;
  };

  // The session owns the port; startDir is where boot loader names are
  // looked up. The receive thread is not started yet (see StartReceiveThread).
  DownloadSession(WindowSystem& window, Clock& clock, std::unique_ptr<Port> port,
                  std::string startDir, Options options);
  DownloadSession(WindowSystem& window, Clock& clock, std::unique_ptr<Port> port,
                  std::string startDir)
      : DownloadSession(window, clock, std::move(port), std::move(startDir), Options{}) {}
  ~DownloadSession() override;
  DownloadSession(const DownloadSession&) = delete;
  DownloadSession& operator=(const DownloadSession&) = delete;

  // ---- Port, while the receive thread is not running ----------------------
  // Opens the port the operator chose at 4800 bit/s, 8N1.
  bool OpenInitialPort(const std::string& path);
  OpenError LastOpenError() const;
  // The failure of the last open in English, for the command line.
  std::string OpenFailureText() const;
  void ClosePort();

  // ---- Receive thread ----------------------------------------------------
  void StartReceiveThread();
  // Any thread: m_bRun cleared, a blocked write and a waiting poll end now.
  void RequestStop();
  bool ThreadExited() const;  // m_bThreadExited
  void JoinReceiveThread();   // RequestStop and wait

  // ---- Commands (window thread) -----------------------------------------
  void OnWrite();
  void OnExecute();
  // "参照": false when refused because a transfer or a load runs; the host
  // asks CanBrowse() before it shows the file dialog.
  bool CanBrowse() const;
  bool OnBrowse(const std::string& path);
  // Options of the file loads from now on: the command line names the
  // sections of an ELF image after its boot loader has loaded.
  void SetLoadOptions(ImageLoad::Options options) { loadOptions_ = std::move(options); }
  // "CPU選択" with the text of the boot file list. True when the handler ran
  // (the host then enables the image controls); false for an empty name
  // (the message has been shown) or while a transfer runs.
  bool OnCpuSelect(const std::string& name);
  // Puts bytes into the loaded image (a board's serial number); true when
  // the image now holds them at address. Refused while a transfer or a load
  // runs, and for bytes outside the image.
  bool PatchWriteImage(uint32_t address, std::vector<uint8_t> bytes);
  // An image loaded elsewhere, for slot 0 (boot loader) or 1 (image), as a
  // finished load of it: false while a transfer or a load runs.
  bool UseImage(int slot, Image image);
  bool OnRamTransfer();       // toggles; returns the new value
  bool OnCpuBootImitation();  // toggles; returns the new value
  // Any thread. Aborts a running transfer, and ends a write blocked on a
  // stalled line at once.
  void Abort();
  // Any thread: the front end stops waiting for a silent board.
  void GiveUp();
  void OnTimer(int id) override;

  // One pass of the link loop without waiting: ends a pause that is over,
  // carries out the queued port actions, reads and handles what the port
  // holds. The receive thread calls it whenever it wakes; unit tests call it
  // directly after feeding a fake port.
  void Pump();
  // Port actions decided but not yet carried out.
  bool PortActionsPending() const;
  // Waits until the port actions decided so far have been carried out (by
  // the receive thread), at most timeoutMs; true when none is left.
  bool WaitPortActionsDone(int timeoutMs) const;

  // A consistent copy of what the front ends show; outcome is that of the
  // last Ended handed out, kNone again while a transfer runs.
  DownloadView Snapshot() const;
  // Steady-clock time of the last byte received from the target (0: none).
  int64_t LastReceiveMs() const { return lastReceiveMs_.load(); }
  // Called for every Ended, on the deciding thread, without the lock, after
  // the texts that present it have been handed to the window system. Set it
  // before the receive thread starts.
  void OnEnded(std::function<void(const Ended&)> notify) { onEnded_ = std::move(notify); }

  const Port& port() const { return *port_; }
  Port& port() { return *port_; }

 private:
  // What is carried out after the lock is let go: message boxes and the
  // steps of the file load (window thread), and the news of an ending.
  using Later = std::variant<ShowMessage, OpenLoad, RunLoadBatch, CloseLoad, Ended>;

  // Has the machine decide event, and then what the load steps it asks for
  // report, one after the other. True when port actions were queued.
  bool Decide(Event event);
  // Window thread: Decide, and wake the link thread when it has port work.
  void Issue(Event event);
  std::optional<Event> RunLater(const Later& later);
  LoadReport ReportLoad(ImageLoad::Result result, bool opened);
  // Link thread. True when a reopen ran.
  bool RunPortActions();
  std::optional<Event> RunSend(const Send& send);
  Event RunReopen(const Reopen& reopen);
  void EndPause();
  void PopPortAction();
  bool Drain();
  void ReceivePass();
  void ReceiveThreadProc();

  WindowSystem& window_;
  Clock& clock_;
  const Options options_;
  std::unique_ptr<Port> port_;
  const std::string startDir_;

  // Guards machine_, queue_, portPath_ and outcome_.
  mutable std::mutex mu_;
  DownloadMachine machine_;
  std::deque<PortAction> queue_;  // in the order decided
  mutable std::condition_variable queueEmptied_;
  std::string portPath_;          // PortPath: every reopen uses it
  Outcome outcome_ = Outcome::kNone;

  // Link thread only (or the test calling Pump).
  std::array<uint8_t, kRxRingSize> rxRing_{};
  int32_t rxRead_ = 0;
  int32_t rxWrite_ = 0;
  bool paused_ = false;  // the Pause at the queue's front is running
  int64_t pauseUntilMs_ = 0;
  uint32_t pauseTicket_ = 0;

  // Window thread only.
  ImageLoad load_;
  ImageLoad::Options loadOptions_;

  std::atomic<int32_t> m_bRun{1};
  std::atomic<int32_t> m_bThreadExited{0};
  std::atomic<int64_t> lastReceiveMs_{0};
  std::function<void(const Ended&)> onEnded_;
  std::thread thread_;
};

}  // namespace porten
