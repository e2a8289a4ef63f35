// The Ethernet transport: TCP connection with greeting, text and byte exchanges.
#pragma once

#include <string>
#include <vector>

#include "interface/catalogue.hpp"
#include "interface/core.hpp"

namespace parley::detail {

class EtherLink {
 public:
  explicit EtherLink(InterfaceCore& core) : core_(core) {}

  void AttachControls();
  // The mode-5 branch of Transact, run as steps of Transact's error path.
  void Transact(KORTransaction& t, const StepRunner& step);

  std::string ReceivedStringBuffer() const;
  void ReceivedByteArrBuffer(std::vector<uint8_t>& out) const;
  void ClearResponseArray();

 private:
  InterfaceCore& core_;
};

}  // namespace parley::detail
