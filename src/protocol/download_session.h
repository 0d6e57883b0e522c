// One download: the state, the link, the receive thread and every command
// and reaction of both protocols. The Qt dialog, the command line and the
// tests all drive this same object; it reaches them only through the
// WindowSystem it is given.
//
// Threads. Commands and timers run on the window thread; byte reactions run
// on the receive thread. Both take one mutex around all shared state, so a
// reply that arrives while the window thread sends and then sets the state is
// handled in the new state. Neither thread waits for the other while holding
// it, except for the pauses the protocol itself makes between port steps.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/download_state.h"

namespace porten {

class DownloadSession final : public TimerTarget {
 public:
  // The session owns the port; startDir is where boot loader names are
  // looked up. The receive thread is not started yet (see StartReceiveThread).
  DownloadSession(WindowSystem& window, Clock& clock, std::unique_ptr<Port> port,
                  std::string startDir);
  ~DownloadSession() override;
  DownloadSession(const DownloadSession&) = delete;
  DownloadSession& operator=(const DownloadSession&) = delete;

  // ---- Port --------------------------------------------------------------
  // Opens the port the operator chose at 4800 bit/s, 8N1.
  bool OpenInitialPort(const std::string& path);
  // What went wrong with the last failed open, in words a user can act on.
  std::string OpenFailureText() const;
  void ClosePort();

  // ---- Receive thread ----------------------------------------------------
  void StartReceiveThread();
  void RequestStop();        // clears m_bRun; the thread ends within a few ms
  bool ThreadExited() const;  // m_bThreadExited
  void JoinReceiveThread();  // RequestStop and wait

  // ---- Commands (window thread) -----------------------------------------
  void OnWrite();
  void OnExecute();
  // The write image chosen in the file dialog ("参照"). False when refused
  // because a transfer or a load runs; the host asks CanBrowse() before it
  // shows the dialog.
  bool CanBrowse() const;
  bool OnBrowse(const std::string& path);
  // "CPU選択" with the text of the boot file list. True when the handler ran
  // (the host then enables the image controls); false for an empty name
  // (the message has been shown) or while a transfer runs.
  bool OnCpuSelect(const std::string& name);
  bool OnRamTransfer();       // toggles; returns the new value
  bool OnCpuBootImitation();  // toggles; returns the new value
  void Abort();               // AbortTransfer under the lock
  void OnTimer(int id) override;

  // One pass of the receive loop: drain what the port holds into the ring
  // and handle it. The receive thread calls this when input is waiting; unit
  // tests call it directly after feeding a fake port.
  void ReceivePass();

  // A consistent copy of what the front ends show.
  struct View {
    int32_t state = 0;
    uint32_t pos = 0;
    uint32_t length = 0;
    uint32_t slotLength[2] = {0, 0};
    uint32_t slotBase[2] = {0, 0};
    bool loading = false;
    bool ready = true;
    bool ramTransfer = false;
    bool cpuBootImitation = false;
    int writeError = 0;
  };
  View Snapshot() const;
  // Steady-clock time of the last byte received from the target (0: none).
  int64_t LastReceiveMs() const { return lastReceiveMs_.load(); }

  // ---- Raw access for tests and the front ends' inspection --------------
  DownloadState& state() { return st_; }
  LinkVars& link() { return link_; }
  std::mutex& mutex() { return mu_; }
  const std::vector<uint8_t>& imageBuffer() const { return image_; }

  // ---- Protocol steps; the caller holds mutex() --------------------------
  void OnBootByte(uint8_t b);
  int SendNextBootByte();
  int CheckEcho(uint8_t b);
  void OnBootSyncTimer(std::unique_lock<std::mutex>& lock);
  void BeginWrite();
  void OnWritePollTimer();
  void OnWriteByte(uint8_t b);
  int SendBlock();
  void StartRamTransfer();
  void FinishWrite();
  void FailWrite();
  void ShowProgress();
  void AbortTransfer();

 private:
  class DeferredWindow;
  struct Locked;

  void Dispatch(uint8_t b);
  void ReceiveThreadProc();
  void Send(const uint8_t* bytes, uint32_t count);
  void SendByte(uint8_t b) { Send(&b, 1); }
  void SetStatus(const std::string& text);
  void RestoreWriteCaption();
  void FlushMessages();

  std::unique_ptr<DeferredWindow> window_;  // defers message boxes past the lock
  Clock& clock_;
  mutable std::mutex mu_;
  DownloadState st_;
  LinkVars link_;
  std::vector<uint8_t> image_;  // ImageBuffer
  bool leaveHandling_ = false;  // FailWrite ends the current handling pass
  std::atomic<int64_t> lastReceiveMs_{0};
  std::thread thread_;
};

}  // namespace porten
