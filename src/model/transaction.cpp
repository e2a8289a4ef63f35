#include "parley/transaction.hpp"

#include <string>

#include "model/access.hpp"
#include "parley/errors.hpp"

namespace parley {
namespace {
std::string BytesToText(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}
}  // namespace

// The byte arrays start as one zero byte but their text forms start empty: the text is only
// computed when an array is set.
KORTransaction::KORTransaction() : byte_cmd_(1, 0), byte_resp_(1, 0) {}

void KORTransaction::cmd(std::string value) {
  owner_.Check();
  if (!in_comm_) cmd_ = std::move(value);
}

void KORTransaction::RespTimeout(int32_t seconds) {
  owner_.Check();
  if (!in_comm_) resp_timeout_ = seconds;
}

namespace {
int32_t CheckedMilliseconds(int32_t ms) {
  if (ms < 0) {
    throw AutomationError(err::InvalidPropertyValue, "KORTransaction",
                          "Invalid property value: a time in milliseconds is 0 or more, not " +
                              std::to_string(ms) + ".");
  }
  return ms;
}
}  // namespace

void KORTransaction::RespTimeoutMs(int32_t ms) {
  owner_.Check();
  if (!in_comm_) resp_timeout_ms_ = CheckedMilliseconds(ms);
}

void KORTransaction::DeadlineMs(int32_t ms) {
  owner_.Check();
  if (!in_comm_) deadline_ms_ = CheckedMilliseconds(ms);
}

void KORTransaction::RespExpect(bool value) {
  owner_.Check();
  if (!in_comm_) resp_expect_ = value;
}

void KORTransaction::ByteCmd(const std::vector<uint8_t>& bytes) {
  owner_.Check();
  if (bytes.empty()) {
    throw AutomationError(err::SubscriptOutOfRange, "KORTransaction", "Subscript out of range");
  }
  byte_cmd_ = bytes;
  byte_cmd_text_ = BytesToText(byte_cmd_);
}

int16_t KORTransaction::ByteArrLen() const {
  owner_.Check();
  auto upper = byte_cmd_.size() - 1;
  if (upper > 32767) throw AutomationError(err::Overflow, "KORTransaction", "Overflow");
  return static_cast<int16_t>(upper);
}

namespace detail {

bool TransactionAccess::PrefixSRE(KORTransaction& t) {
  if (t.cmd_.find("*RST") != std::string::npos) return false;
  t.cmd_ = "*SRE 16;" + t.cmd_;
  return true;
}

void TransactionAccess::SetByteArrResp(KORTransaction& t, const std::vector<uint8_t>& bytes) {
  if (!t.in_comm_) return;
  if (bytes.empty()) {
    throw AutomationError(err::SubscriptOutOfRange, "KORTransaction", "Subscript out of range");
  }
  t.byte_resp_ = bytes;
  t.byte_resp_text_ = BytesToText(bytes);
}

}  // namespace detail
}  // namespace parley
