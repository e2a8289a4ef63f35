// GPIB In/Out mode: the instrument behind the remote unit's forwarding feature, driven by its
// status byte: poll until idle (draining a stray answer), OUT the command, poll until the
// answer is ready, IN the answer. Also Spoll, GetTransact and RemoteEnable of that mode.
#pragma once

#include <cstdint>

#include "catalogue/error_path.hpp"
#include "forwarding/gpib_forwarding.hpp"

namespace parley::detail {

class GpibInOut {
 public:
  GpibInOut(LinkContext& core, FwdChannel& channel, bool& settings_sent)
      : fwd_(core, channel, settings_sent), core_(core) {}

  // Polls up to three times, a second apart, until the status shows idle; a waiting answer
  // is read and dropped on the way (that poll uses up its attempt).
  void InOutPollBeforeSend();
  // Polls every second until the answer is ready or the working timeout ends, then reads the
  // answer into `working`.
  void InOutComplete(KORTransaction& working);
  // One poll; `value` receives the status byte.
  void InOutSerialPoll(int16_t& value);

  // The mode-4 branches (validation of Transact already ran in Transact's dispatch).
  void Transact(KORTransaction& t, const StepRunner& step);
  void GetTransact(KORTransaction& t, const StepRunner& step);
  // Drives the remote-enable line to the opposite state and back; no error path of its own.
  void RemoteEnable();

 private:
  bool MessageAvailable(int16_t status) const;
  bool Idle(int16_t status) const;
  bool AnswerReady(int16_t status) const;
  int32_t DeviceSeconds() const { return int32_t{core_.settings.dto} + 5; }
  void ReportIdle() { core_.UpdateProgress(""); }

  GpibForwarding fwd_;
  LinkContext& core_;
};

}  // namespace parley::detail
