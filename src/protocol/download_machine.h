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
struct SendDone {  // a checked send went out whole (ok) or did not
  uint32_t transfer;
  bool ok;
};
struct Reopened {
  uint32_t ticket;
  bool ok;
};
struct PauseOver {
  uint32_t ticket;
};
struct LineLost {};  // the device hung up, failed or vanished
struct PortOpened {  // the front end opened (rate) or closed (0) the port
  int rate;
};
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

// The front end puts bytes into the loaded image (a board's serial number).
// Taken before the write phase has read a block, when no load runs and the
// bytes lie inside the image; otherwise the image stays as it was.
struct ImagePatched {
  uint32_t address;
  std::vector<uint8_t> bytes;
};

// An image loaded once elsewhere, for slot 0 (the boot loader) or 1 (the
// image to write): taken as a finished load of that slot, so that a station
// writes every board from the bytes it read at its start.
struct ImageGiven {
  int slot;
  Image image;
};

using Event = std::variant<ByteReceived, TimerFired, CommandIssued, BrowseChosen, CpuSelected,
                           SendDone, Reopened, PauseOver, LineLost, PortOpened, LoadReport,
                           ImagePatched, ImageGiven>;

// ---- Actions ----------------------------------------------------------------

// Port actions run on the link thread, one after the other, in the order
// they were decided.
struct Send {
  std::vector<uint8_t> bytes;  // one write
  bool checked = false;        // report how it went as SendDone
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
// A download, or an Execute, is over: how, and the status text that says
// so (empty when the status line keeps what it shows). The texts and
// caption of the ending come before it. Front ends act on this and on
// nothing else.
struct Ended {
  Outcome outcome;
  std::string text;
};

using Action = std::variant<Send, Reopen, Pause, SetText, ShowMessage, ArmTimer, KillTimer,
                            OpenLoad, RunLoadBatch, CloseLoad, Ended>;
using Actions = std::vector<Action>;
using PortAction = std::variant<Send, Reopen, Pause>;

// ---- The machine ----------------------------------------------------------

class DownloadMachine {
 public:
  struct Options {
    int firstLoadDelayMs = 100;  // lets a dialog paint "読込開始" first
  };

  DownloadMachine() : DownloadMachine(Options{}) {}
  explicit DownloadMachine(Options options) : options_(options) {}

  Actions On(const Event& event);

  DownloadView View() const;
  // A transfer, or a reopen or pause that leads into one, is running.
  bool Busy() const { return state_ != LinkState::kIdle || resume_ != Resume::kNone; }

  // The status text of an address range, as the loads show it.
  static std::string AddressText(uint32_t base, uint32_t length);

 private:
  // The link states, numbered as the old tool numbered them.
  enum class LinkState : uint8_t {
    kIdle = 0,
    kBootHandshake = 1,
    kBootSizeHigh = 2,
    kBootSizeLow = 3,
    kBootData = 4,
    kBootWaitStart = 10,
    kWritePoll = 20,
    kWriteAck1 = 21,
    kWriteAck2 = 22,
    kWriteHeader = 23,
    kWriteData = 24,
    kWriteFinish = 100,
    kSyncImitation = 254,
    kSyncBoot = 255,
  };
  // What a pending pause or reopen leads to when it is over.
  enum class Resume { kNone, kStartSync, kSyncTriple, kBeginWrite };

  static Phase PhaseOf(LinkState state);
  bool InSync() const { return state_ == LinkState::kSyncBoot || state_ == LinkState::kSyncImitation; }

  // Commands and window steps.
  void OnCommand(Command command);
  void OnTimer(int id);
  void OnBrowse(const std::string& path);
  void OnCpuSelect(const std::string& name);
  void OnExecute();
  void OnReopened(const Reopened& r);
  void OnPauseOver(const PauseOver& p);
  void OnSendDone(const SendDone& d);
  void OnLineLost();

  // The file load.
  void StartLoad();
  void LoadBatch();
  void OnLoadReport(const LoadReport& report);
  void EndOfData(const Image& image);
  void OnImagePatched(const ImagePatched& patch);
  void OnImageGiven(const ImageGiven& given);

  // Boot-mode upload.
  void OnWrite();
  void StartSync();
  void OnBootSyncTimer();
  void OnBootByte(uint8_t b);
  void OnHandshakeByte(uint8_t b);
  void SendNextBootByte();
  bool CheckEcho(uint8_t b);

  // Block write.
  void BeginWrite();
  void OnWritePollTimer();
  void OnWriteByte(uint8_t b);
  void SendHeader();
  void SendBlock();
  void StartRamTransfer();
  void FinishWrite();
  void FailWrite();
  void ShowProgress(const char* fmt, int slot);
  void AbortTransfer(Outcome outcome);

  // Every ending: idle, caption back to "書込み", the text (if any) in the
  // status line, then Ended.
  void End(Outcome outcome, const std::string& status);

  // Emitters.
  template <typename A>
  void Emit(A&& action) {
    out_->emplace_back(std::forward<A>(action));
  }
  void SendBytes(std::vector<uint8_t> bytes, bool checked = false);
  void SendByte(uint8_t b) { SendBytes({b}); }
  void SetStatus(const std::string& text) { Emit(SetText{Surface::kStatus, text}); }
  void ReopenAt(int rate, int closedMs, int afterMs, Resume resume);
  void PauseFor(int ms, Resume resume);

  Options options_;
  Actions* out_ = nullptr;

  LinkState state_ = LinkState::kIdle;
  int32_t syncCount_ = 0;  // replies to the first sync byte
  uint32_t length_ = 0;    // bytes of the running transfer
  uint32_t pos_ = 0;       // next byte to send (block write) or to confirm (boot upload)
  std::string filePath_;   // the file the next load opens
  bool loading_ = false;
  bool ready_ = true;      // no load runs
  int target_ = 0;         // the slot the running load fills: 0 boot loader, 1 image
  bool ramTransfer_ = false;
  bool cpuBootImitation_ = false;
  uint32_t slotLength_[2] = {0, 0};
  uint32_t slotBase_[2] = {0, 0};
  // The images as values, each taken when its load reached the end of the
  // data. Immutable and shared, so a view copies no bytes. Blocks and boot
  // bytes are sent only from these: a later load can never leak into the
  // target.
  std::shared_ptr<const std::vector<uint8_t>> bootImage_;   // at most kBootImageSize
  std::shared_ptr<const std::vector<uint8_t>> writeImage_;  // slot 1's bytes
  // What the header and the size bytes announce.
  uint32_t transferAddress_ = 0;
  uint32_t transferLength_ = 0;
  // The rate the port is open at once the port actions handed out so far
  // have run (0: closed).
  int portRate_ = 0;
  // What the pending reopen or pause leads to, and which one it waits for.
  Resume resume_ = Resume::kNone;
  uint32_t awaited_ = 0;
  uint32_t tickets_ = 0;  // numbers reopens and pauses
  // Write presses that started a transfer: a late send report of an earlier
  // transfer must not end the current one.
  uint32_t transfer_ = 0;
  bool executing_ = false;  // the "1" of Execute is on its way; its report ends it
  uint32_t confirmed_ = 0;  // image bytes the loader has taken
  LoadOutcome loadOutcome_ = LoadOutcome::kNone;
  std::string loadDetail_;
};

}  // namespace porten
