// Transaction records as the tests build them: a text command or a byte command.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "parley/enums.hpp"
#include "parley/transaction.hpp"

namespace parley::testing {

inline KORTransaction Text(const std::string& cmd, int32_t timeout = korShort) {
  KORTransaction t;
  t.cmd(cmd);
  t.RespTimeout(timeout);
  return t;
}

inline KORTransaction Bytes(const std::string& bytes) {
  KORTransaction t;
  t.IsCmdTypeString(false);
  t.ByteCmd(std::vector<uint8_t>(bytes.begin(), bytes.end()));
  return t;
}

}  // namespace parley::testing
