// GPIB forwarding over the serial link: the instrument behind the remote unit, reached in one
// send-and-read message (mode 1) or in separate poll, output and input messages (mode 4).
//
// Every message travels as one serial exchange of the serial link. The link keeps whether the
// full settings header has gone out since the port was last obtained.
#pragma once

#include <cstdint>

#include "catalogue/error_path.hpp"
#include "forwarding/gpib_forwarding.hpp"
#include "model/link_context.hpp"

namespace parley::detail {

class SerialLink;

class ForwardingLink {
 public:
  ForwardingLink(LinkContext& context, SerialLink& serial) : context_(context), channel_(serial) {}

  // Mode branches, run as steps of the public operation's error path.
  void TransactCRLFtoGPIB(KORTransaction& t, const StepRunner& step);
  void TransactInOut(KORTransaction& t, const StepRunner& step);
  void SpollInOut(int16_t& value, const StepRunner& step);
  void GetTransactInOut(KORTransaction& t, const StepRunner& step);
  void RemoteEnableInOut();

  // The next message carries the full settings again (port opened, lost or taken).
  void ForgetSettingsSent() { settings_sent_ = false; }
  bool settings_sent() const { return settings_sent_; }

 private:
  LinkContext& context_;
  SerialFwdChannel channel_;
  bool settings_sent_ = false;
};

}  // namespace parley::detail
