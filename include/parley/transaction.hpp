// KORTransaction: the record of one command/response exchange.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "parley/enums.hpp"
#include "parley/export.hpp"
#include "parley/thread_owner.hpp"

namespace parley {

namespace detail {
struct TransactionAccess;
}

// A client fills the command, timeout and RespExpect, hands the record to
// KORInterface::Transact and reads the response back. While InComm() is true the puts of cmd,
// RespTimeout and RespExpect are ignored, so a handler cannot change a transaction in flight,
// and every operation refuses the record with error 5: one record is in one operation at a time.
// Text holds bytes: every char value 0..255, NUL included, passes unchanged.
//
// From its first use with an interface the record belongs to that interface's thread: called
// from any other, a member fails with error 5 (Source "KORTransaction") and touches nothing.
// A copy belongs to no thread yet.
class PARLEY_API KORTransaction {
 public:
  KORTransaction();

  const std::string& resp() const { return Checked(resp_); }
  bool InComm() const { return Checked(in_comm_); }

  const std::string& cmd() const { return Checked(cmd_); }
  void cmd(std::string value);

  int32_t RespTimeout() const { return Checked(resp_timeout_); }
  void RespTimeout(int32_t seconds);

  // The response timeout in milliseconds on a plain instrument's link (any value from 1);
  // 0 (the default) takes RespTimeout. The unit's modes refuse anything but 0.
  int32_t RespTimeoutMs() const { return Checked(resp_timeout_ms_); }
  void RespTimeoutMs(int32_t ms);
  // A bound on the whole operation in milliseconds, in every mode: at that time every wait of
  // the call ends and it fails with UserCanceled; LastLinkError and the trace name the stage it
  // was in. 0: none.
  int32_t DeadlineMs() const { return Checked(deadline_ms_); }
  void DeadlineMs(int32_t ms);

  bool RespExpect() const { return Checked(resp_expect_); }
  void RespExpect(bool value);

  // The byte command and its text form (one char per byte).
  const std::string& ByteArrToString() const { return Checked(byte_cmd_text_); }
  // Copies `bytes` into the byte command. An empty array has no element 0 to read and fails
  // with the subscript-out-of-range error (9).
  void ByteCmd(const std::vector<uint8_t>& bytes);
  void SetByteArr(const std::vector<uint8_t>& bytes) { ByteCmd(bytes); }
  void GetByteArr(std::vector<uint8_t>& out) const { out = Checked(byte_cmd_); }
  // The upper index of the byte command (one less than its length). Fails with the overflow
  // error (6) past 32768 bytes, which a 16-bit index cannot hold.
  int16_t ByteArrLen() const;

  bool IsCmdTypeString() const { return Checked(is_cmd_type_string_); }
  void IsCmdTypeString(bool value) {
    owner_.Check();
    is_cmd_type_string_ = value;
  }

  // The byte response (Ethernet byte transactions only) and its text form.
  void GetByteArrResp(std::vector<uint8_t>& out) const { out = Checked(byte_resp_); }
  const std::string& ByteArrRespStrVal() const { return Checked(byte_resp_text_); }

 private:
  friend struct detail::TransactionAccess;

  template <class T>
  const T& Checked(const T& field) const {
    owner_.Check();
    return field;
  }

  ThreadOwner owner_{"KORTransaction"};
  std::string cmd_;
  bool resp_expect_ = true;
  int32_t resp_timeout_ = korShort;
  int32_t resp_timeout_ms_ = 0;
  int32_t deadline_ms_ = 0;
  std::string resp_;
  bool in_comm_ = false;
  bool is_cmd_type_string_ = true;
  std::vector<uint8_t> byte_cmd_;
  std::string byte_cmd_text_;
  std::vector<uint8_t> byte_resp_;
  std::string byte_resp_text_;
};

}  // namespace parley
