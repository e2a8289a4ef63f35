// The GPIB transports: a local board (mode 3) and the In/Out dialogue over the serial link
// (mode 4).
#pragma once

#include <cstdint>

#include "catalogue/error_path.hpp"
#include "gpib/driver/gpib_binding.hpp"
#include "model/link_context.hpp"

namespace parley::detail {

class GpibLink {
 public:
  explicit GpibLink(LinkContext& core) : core_(core) {}
  // Takes a device still online offline (the board with the thread's last device).
  ~GpibLink();
  GpibLink(const GpibLink&) = delete;
  GpibLink& operator=(const GpibLink&) = delete;

  // Mode branches of Transact, run as steps of Transact's error path.
  void TransactDirect(KORTransaction& t, const StepRunner& step);

  // Mode branches of Spoll, GetTransact and RemoteEnable.
  void SpollDirect(int16_t& value, const StepRunner& step);
  void GetTransactDirect(KORTransaction& t, const StepRunner& step);
  void RemoteEnableDirect();

  void GPIBClose();

  // The lifecycle marks of the port: a device is opened anew after each openPort, and the
  // service-request prefix is sent again after openPort, closePort and GPIBClose.
  void PortOpened() {
    device_open_ = false;
    sre_sent_ = false;
  }
  void PortClosed() { sre_sent_ = false; }

 private:
  // --- mode 3 (direct GPIB) --------------------------------------------------------------
  // Opens the thread's board and this object's device if not yet open (own error path).
  void OpenGpibDevice();
  void OpenBoard();
  void OpenDevice();
  // The exchange of one mode-3 transaction (own error path).
  void GPIBDirectTransact(KORTransaction& t);
  // Takes this object's device offline if it is online, and the board with the last device.
  void TakeDeviceOffline();
  // Whether this object holds a device of the current driver that is still online.
  bool HoldsOnlineDevice();

  LinkContext& core_;
  int16_t device_ = 0;          // piGpibDevice: kept after GPIBClose
  bool device_online_ = false;  // counted in the thread's device count, not yet offline
  uint64_t device_generation_ = 0;
  bool device_open_ = false;  // opened since the last openPort
  bool sre_sent_ = false;     // "*SRE 16;" went before a command since then
};

// The library error number of a driver error code (iberr).
int32_t GpibErrorNumber(int16_t code);
// Raises the library error of the driver error a failed call reported.
[[noreturn]] void RaiseDriverError(const gpib::Status& s);
// The device timeout an opened device gets, in seconds (at least 10 unless EABO is expected).
int16_t DeviceTimeoutSeconds(const Settings& settings);
// The driver's timeout code for a device timeout of `seconds`.
int16_t GpibTimeoutCode(int16_t seconds);

}  // namespace parley::detail
