// The GPIB transports: a local board (mode 3) and the In/Out dialogue over the serial link
// (mode 4).
#pragma once

#include <cstdint>

#include "interface/catalogue.hpp"
#include "interface/core.hpp"

namespace parley::detail {

class GpibLink {
 public:
  explicit GpibLink(InterfaceCore& core) : core_(core) {}

  // Mode branches of Transact, run as steps of Transact's error path.
  void TransactDirect(KORTransaction& t, const StepRunner& step);
  void TransactInOut(KORTransaction& t, const StepRunner& step);

  // Mode branches of Spoll, GetTransact and RemoteEnable.
  void SpollDirect(int16_t& value, const StepRunner& step);
  void SpollInOut(int16_t& value, const StepRunner& step);
  void GetTransactDirect(KORTransaction& t, const StepRunner& step);
  void GetTransactInOut(KORTransaction& t, const StepRunner& step);
  void RemoteEnableDirect();
  void RemoteEnableInOut();

  void GPIBClose();

 private:
  InterfaceCore& core_;
};

}  // namespace parley::detail
