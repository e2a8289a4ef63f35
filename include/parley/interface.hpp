// KORInterface: one client's link to one remote unit or GPIB instrument.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "parley/enums.hpp"
#include "parley/event.hpp"
#include "parley/export.hpp"
#include "parley/progress.hpp"
#include "parley/transaction.hpp"

namespace parley {

namespace detail {
class InterfaceCore;
}

// Settings are get/put pairs. Most puts are ignored silently while the port is open (close,
// set, reopen to change the link); UseSRQ, EABOExpected and SkipIBClr are ignored while Busy.
// No put checks its value: Transact validates the settings for the mode it runs.
//
// Every failure is raised as parley::AutomationError. All calls belong to the thread that
// created the object; its waits run that thread's event loop (see parley/loop.hpp), so event
// handlers run inside the library's calls. A call made from a handler while an operation is in
// progress is refused with "Interface is busy.". A member called from any other thread fails
// at once with error 5 (Source "KORInterface") and touches nothing.
// In a child of fork() an object made before the fork belongs to the parent: every member
// fails with error 5 there, and destroying it releases nothing (the parent still uses it).
//
// Destroying an object whose port is open closes the port. Destroy it on its own thread, or
// after that thread has ended: the thread's loop lives as long as the objects that use it.
// A handler (Update, HaltAck, portReset, debugMonUpdate, a loop callback) may destroy the
// object during one of its calls: the call then stops at its next step, closes the port and
// ends with error 5 "Invalid procedure call or argument: the KORInterface was destroyed during
// the call." (Source "KORInterface"), whatever it would have returned.
class PARLEY_API KORInterface {
 public:
  KORInterface();
  ~KORInterface();
  KORInterface(const KORInterface&) = delete;
  KORInterface& operator=(const KORInterface&) = delete;

  // --- lifecycle ---------------------------------------------------------------------------
  // openPort builds the link machinery and asks the connection manager for the port's
  // connection; it opens no link (each transport opens its own on first use).
  void openPort();
  void closePort();
  bool Busy() const;
  bool IsPortOpen() const;
  // The operating system's reason for the last failure of a serial port or TCP connection
  // (opening, reading, writing, connecting), for example "/dev/ttyS0: Permission denied", or
  // the wait a transaction's deadline ended; empty until one fails. It is also written to the
  // trace; a later success does not clear it.
  std::string LastLinkError() const;

  std::shared_ptr<KORProgress> Progress() const;
  void Progress(std::shared_ptr<KORProgress> progress);  // a null pointer is ignored

  // --- operations --------------------------------------------------------------------------
  void Transact(KORTransaction& transaction);
  void GetTransact(KORTransaction& transaction);
  void Spoll(int16_t& spollval);
  void RemoteEnable();
  void GPIBClose();
  void GPIBInOutValidateTrans(KORTransaction& transaction);

  // Ethernet receive buffers of the last transaction.
  std::string ReceivedStringBuffer() const;
  void ReceivedByteArrBuffer(std::vector<uint8_t>& aByteBuffer) const;
  void ClearResponseArray();

  // --- debug trace -------------------------------------------------------------------------
  void DebugMonitorOn();
  void DebugMonitorOff();
  int32_t DebugBuffSizeGet() const;
  void DebugBuffSizeSet(int32_t newSize);  // 100..64000, else DebugBufferTooSmall/TooBig
  std::string DebugBuffGet() const;
  void DebugBuffClear();
  void DebugMonitorShow();
  void DebugMonitorHide();
  bool DebugMonitorVisible() const;

  // --- settings ----------------------------------------------------------------------------
  int32_t commMode() const;
  void commMode(int32_t value);
  int32_t CommPort() const;
  void CommPort(int32_t value);
  int32_t BitRate() const;
  void BitRate(int32_t value);
  int32_t Parity() const;
  void Parity(int32_t value);
  int32_t DataBits() const;
  void DataBits(int32_t value);
  int32_t StopBits() const;
  void StopBits(int32_t value);
  int16_t GPIBAddress() const;
  void GPIBAddress(int32_t value);  // outside -32768..32767: overflow error (6)
  int32_t ITC() const;
  void ITC(int32_t value);
  int16_t DTO() const;
  void DTO(int16_t value);
  int16_t IdleSPoll() const;
  void IdleSPoll(int16_t value);
  int16_t MAVSPoll() const;
  void MAVSPoll(int16_t value);
  std::string CmdTerm() const;
  void CmdTerm(std::string value);
  std::string RespTerm() const;
  void RespTerm(std::string value);
  bool UseSRQ() const;
  void UseSRQ(bool value);
  bool EABOExpected() const;
  void EABOExpected(bool value);
  bool SkipIBClr() const;
  void SkipIBClr(bool value);
  int16_t GPIBDirectMaxRespLength() const;
  void GPIBDirectMaxRespLength(int16_t value);  // stored only within 1..20000
  bool RemoveExtraChar() const;
  void RemoveExtraChar(bool value);
  // True (the default): a serial or Ethernet text response is taken only after the exact echo
  // of the command with the terminator that was sent; bytes before it are stale, dropped and
  // traced. False: the echo is skipped by its length alone, for a unit whose echo differs (in
  // letter case or terminator). Ethernet byte mode skips no echo either way.
  bool VerifyEcho() const;
  void VerifyEcho(bool value);
  // True: the serial or TCP device is a plain instrument, not the remote unit: it sends no
  // echo, no prompt and no greeting. The response is what arrives after the command, up to
  // RespTerm (bytes already waiting are dropped before sending); an exchange is never repeated;
  // a transaction's RespTimeoutMs may give any timeout from 1 ms. False (the default): the
  // unit's protocol. Serial modes 2 and TCP mode 5 only.
  bool PlainInstrument() const;
  void PlainInstrument(bool value);
  // A device path for this interface alone (serial modes): empty (the default) opens the
  // device mapped to CommPort (MapSerialPort, SerialDevicePath). Opening never changes the
  // map. A path holding a NUL byte is refused with err::ErrorInitializingCommPort.
  std::string DevicePath() const;
  void DevicePath(std::string path);
  bool DelayGPIBTrans() const;
  void DelayGPIBTrans(bool value);
  bool WaitForMAVbitClear() const;
  void WaitForMAVbitClear(bool value);
  void TimeDelayForMAVbit(double seconds);  // at most 3.0, else (or NaN) 1.0 is stored
  std::string RemoteHostIpAddress() const;
  void RemoteHostIpAddress(std::string value);
  std::string RemotePortNumber() const;
  void RemotePortNumber(const std::string& value);  // non-numeric: TcpPortOutOfRange
  bool RaiseEtherPortResetErr() const;
  void RaiseEtherPortResetErr(bool value);

  // --- events ------------------------------------------------------------------------------
  Event portReset;       // the port was taken away or the remote side closed the connection
  Event debugMonUpdate;  // a trace entry was recorded while the monitor is visible

 private:
  friend class detail::InterfaceCore;
  // The core after the thread check (members that run no client code).
  detail::InterfaceCore& Own() const;
  // Shared with the calls in progress, so a handler may destroy the object during one.
  std::shared_ptr<detail::InterfaceCore> core_;
};

}  // namespace parley
