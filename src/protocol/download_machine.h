// The download as a machine: every command, timer, received byte and
// finished port step goes in as an event; what to do about it comes out as a
// list of actions, in the order they must be carried out. The machine owns
// no descriptor, no thread and no clock, and never waits: its runner
// (DownloadSession) sends, reopens, pauses and shows, and reports back what
// came of it as further events.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/download_state.h"
#include "core/image.h"
#include "core/window_system.h"

namespace porten {

// ---- Events ---------------------------------------------------------------

struct ByteReceived {
  uint8_t byte;
};
struct TimerFired {
  int id;
};
enum class Command {
  kWrite,             // the Write button: start, or abort a running transfer
  kAbort,             // stop whatever runs (Exit, Close, Ctrl-C)
  kExecute,           // "実行"
  kRamTransfer,       // the "RAM転送" check box was clicked
  kCpuBootImitation,  // the "CPU BOOTもどき" check box was clicked
  kGiveUp,            // the front end stops waiting for a silent board
};
struct CommandIssued {
  Command command;
};
struct BrowseChosen {  // "参照" confirmed with this path
  std::string path;
};
struct CpuSelected {  // "CPU選択" with the text of the boot file list
  std::string name;
};
struct SendFailed {  // a checked send did not go out whole
  uint32_t transfer;
};
struct Reopened {
  uint32_t ticket;
  bool ok;
};
struct PauseOver {
  uint32_t ticket;
};
struct LineLost {};  // the device hung up, failed or vanished
// A step of the file load: the file opened, a batch done, the data ended
// (with the image), or the file refused.
struct LoadReport {
  enum Kind { kOpened, kProgress, kDone, kFailed };
  explicit LoadReport(Kind k = kOpened, uint32_t len = 0) : kind(k), length(len) {}
  Kind kind;
  uint32_t length = 0;  // span so far (kProgress)
  Image image;          // kDone
  std::string message;  // kFailed: the message box text
  std::string detail;   // kFailed: where, for the command line
};

// An image loaded once elsewhere, for slot 0 (the boot loader) or 1 (the
// image to write): taken as a finished load of that slot, so that a station
// writes every board from the bytes it read at its start.
struct ImageGiven {
  int slot;
  Image image;
};

using Event = std::variant<ByteReceived, TimerFired, CommandIssued, BrowseChosen, CpuSelected,
                           SendFailed, Reopened, PauseOver, LineLost, LoadReport, ImageGiven>;

// ---- Actions ----------------------------------------------------------------

// Port actions run on the link thread, one after the other, in the order
// they were decided.
struct Send {
  std::vector<uint8_t> bytes;  // one write
  bool checked = false;        // report a short write as SendFailed
  uint32_t transfer = 0;
};
// Close the port, wait closedMs, open it at rate, discard what was received
// before, wait afterMs; then report Reopened.
struct Reopen {
  int rate;
  int closedMs = 0;
  int afterMs = 0;
  uint32_t ticket = 0;
};
// Hold back the port actions that follow for ms while bytes are still
// received and handled; then report PauseOver.
struct Pause {
  int ms;
  uint32_t ticket = 0;
};

// Window actions run on the thread that decided them.
struct SetText {
  Surface surface;
  std::string text;
};
struct ShowMessage {
  std::string text;
  std::string caption;
};
struct ArmTimer {
  int id;
  int ms;
};
struct KillTimer {
  int id;
};
// File load steps, on the window thread; each reports a LoadReport.
struct OpenLoad {
  std::string path;
};
struct RunLoadBatch {};
struct CloseLoad {};

using Action = std::variant<Send, Reopen, Pause, SetText, ShowMessage, ArmTimer, KillTimer,
                            OpenLoad, RunLoadBatch, CloseLoad>;
using Actions = std::vector<Action>;

inline bool IsPortAction(const Action& a) {
  return std::holds_alternative<Send>(a) || std::holds_alternative<Reopen>(a) ||
         std::holds_alternative<Pause>(a);
}

// ---- The machine ----------------------------------------------------------

class DownloadMachine {
 public:
  struct Options {
    int firstLoadDelayMs = 100;  // lets a dialog paint "読込開始" first
  };

  DownloadMachine() : DownloadMachine(Options{}) {}
  explicit DownloadMachine(Options options) : options_(options) {}

  Actions On(const Event& event);

  const DownloadState& state() const { return st_; }
  DownloadState& state() { return st_; }

  // The status text of an address range, as the loads show it.
  static std::string AddressText(uint32_t base, uint32_t length);

 private:
  // Commands and window steps.
  void OnCommand(Command command);
  void OnTimer(int id);
  void OnBrowse(const std::string& path);
  void OnCpuSelect(const std::string& name);
  void OnExecute();
  void OnReopened(const Reopened& r);
  void OnPauseOver(const PauseOver& p);
  void OnSendFailed(const SendFailed& f);
  void OnLineLost();

  // The file load.
  void StartLoad();
  void LoadBatch();
  void OnLoadReport(const LoadReport& report);
  void EndOfData(const Image& image);
  void OnImageGiven(const ImageGiven& given);

  // Boot-mode upload.
  void OnWrite();
  void StartSync();
  void OnBootSyncTimer();
  void OnBootByte(uint8_t b);
  int SendNextBootByte();
  int CheckEcho(uint8_t b);

  // Block write.
  void BeginWrite();
  void OnWritePollTimer();
  void OnWriteByte(uint8_t b);
  int SendBlock();
  void StartRamTransfer();
  void FinishWrite();
  void FailWrite();
  void ShowProgress();
  void AbortTransfer();

  // Ends with outcome: idle, caption back to "書込み", status text shown.
  void End(Outcome outcome, const std::string& status);

  // Emitters.
  template <typename A>
  void Emit(A&& action) {
    out_->emplace_back(std::forward<A>(action));
  }
  void SendBytes(std::vector<uint8_t> bytes, bool checked = false);
  void SendByte(uint8_t b) { SendBytes({b}); }
  void SetStatus(const std::string& text) { Emit(SetText{Surface::kStatus, text}); }
  void RestoreWriteCaption();
  void ReopenAt(int rate, int closedMs, int afterMs, Resume resume);
  void PauseFor(int ms, Resume resume);

  Options options_;
  DownloadState st_;
  Actions* out_ = nullptr;
};

}  // namespace porten
