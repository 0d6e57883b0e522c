// A serial port as the download logic sees it. The termios port is the
// production one; a pty runs the same code in integration tests and a
// scripted fake stands in for unit tests.
//
// Threads: Write, WaitReadable and Read may run on one thread while Open and
// Close run on another; an implementation guarantees that none of them ever
// reaches a closed or reused descriptor.
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

class Port {
 public:
  virtual ~Port() = default;

  // Opens path at baud (4800 or 38400), 8 data bits, the given stop bits and
  // parity (1 odd, 2 even, else none), raw, no flow control; raises DTR,
  // pulses RTS and discards pending input. False on failure; the port is
  // then closed and LastFailure()/LastError() say why.
  virtual bool Open(const std::string& path, int baud, int stopBits, int parity) = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;

  // Blocks until all count bytes are sent or timeoutMs has run out. Returns
  // the number of bytes written: fewer than count means a time-out or a
  // failing device, 0 on a closed port.
  virtual size_t Write(const uint8_t* data, size_t count, int timeoutMs) = 0;

  // Waits up to timeoutMs for input and returns the number of bytes waiting.
  // A closed or hung-up port counts as nothing waiting, after the full wait,
  // so a caller polling in a loop never spins.
  virtual size_t WaitReadable(int timeoutMs) = 0;

  // Any thread: makes a WaitReadable running now (or the next one) return 0
  // at once, so a receive thread told to stop need not wait out its poll.
  virtual void Interrupt() {}

  // Reads up to max waiting bytes without blocking; 0 when none (or closed).
  virtual size_t Read(uint8_t* buffer, size_t max) = 0;

  // The rate of the current open (0 when closed).
  virtual int Baud() const = 0;

  virtual OpenFailure LastFailure() const = 0;
  virtual std::string LastError() const = 0;  // human-readable detail
};

}  // namespace porten
