// A serial port as the download logic sees it. The termios port is the
// production one; a pty runs the same code in integration tests and a
// scripted fake stands in for unit tests.
//
// Threads: one thread (the download's link thread) opens, closes, writes,
// waits and reads. Interrupt and InterruptWrites may come from any thread,
// and an implementation guarantees that no call ever reaches a closed or
// reused descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace porten {

// Why an open failed, in terms a user can act on.
enum class OpenFailure {
  kNone,
  kNotFound,    // no such device (or it vanished)
  kPermission,  // EACCES/EPERM: the user is not in the dialout group
  kBusy,        // another program holds the port
  kNotSerial,   // opened, but not a terminal device
  kOther,
};

// The modem control lines a fixture may wire to the chip's mode pin and reset.
enum class ModemLine { kDtr, kRts };

struct OpenError {
  OpenFailure kind = OpenFailure::kNone;
  std::string detail;  // the system's words, e.g. "Device or resource busy"
  std::string holder;  // "PID (name)" of who holds a busy port, when known
};

class Port {
 public:
  virtual ~Port() = default;

  // Opens path at baud (4800 or 38400), 8 data bits, the given stop bits and
  // parity (1 odd, 2 even, else none), raw, no flow control; raises DTR,
  // pulses RTS and discards pending input. False on failure; the port is
  // then closed and LastOpenError() says why.
  virtual bool Open(const std::string& path, int baud, int stopBits, int parity) = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;

  // Blocks until all count bytes are sent, timeoutMs has run out or
  // InterruptWrites is called. Returns the number of bytes written: fewer
  // than count means a time-out, an interrupt or a failing device; 0 on a
  // closed port.
  virtual size_t Write(const uint8_t* data, size_t count, int timeoutMs) = 0;

  // Any thread: ends a Write blocked now, short. Writes begun later are not
  // affected.
  virtual void InterruptWrites() = 0;

  // Waits up to timeoutMs for input and returns the number of bytes waiting.
  // A closed or lost port counts as nothing waiting, after the full wait, so
  // a caller polling in a loop never spins.
  virtual size_t WaitReadable(int timeoutMs) = 0;

  // Any thread: makes a WaitReadable running now (or the next one) return 0
  // at once.
  virtual void Interrupt() = 0;

  // Reads up to max waiting bytes without blocking; 0 when none (or closed).
  virtual size_t Read(uint8_t* buffer, size_t max) = 0;

  // The open device hung up, failed or vanished (an unplugged adapter, a
  // closed pty); cleared by the next successful Open.
  virtual bool Lost() const = 0;

  // The rate of the current open (0 when closed).
  virtual int Baud() const = 0;

  virtual OpenError LastOpenError() const = 0;

  // ---- Capabilities not every port has -------------------------------------
  // The defaults say "not here", so a port without them needs nothing.
  // HasModemLines and SetModemLine may come from any thread while the link
  // thread runs (the command line's board thread drives the lines); the
  // other two come from the link thread, as Open does.

  // Whether the open device has modem control lines. False when closed, or
  // when the device says it has none (a pseudo-terminal).
  virtual bool HasModemLines() const { return false; }

  // Asserts (true: the line's active level, on most adapters a low pin) or
  // clears one modem control line of the open port; the other line stays.
  // False with why in the system's words when it could not be done.
  virtual bool SetModemLine(ModemLine line, bool asserted, std::string& why) {
    (void)line, (void)asserted;
    why = "the port has no modem control lines";
    return false;
  }

  // Changes the rate of the open port without closing it: the lines stay as
  // they are, and input received before is discarded, as an open would.
  // False when closed or when the device refuses the rate; the line is then
  // in no known state and the caller closes the port.
  virtual bool ChangeRate(int baud) {
    (void)baud;
    return false;
  }

  // From now on closing the open port leaves DTR and RTS where they are
  // (HUPCL cleared) instead of dropping them. False when not done.
  virtual bool KeepLinesOnClose() { return false; }
};

}  // namespace porten
