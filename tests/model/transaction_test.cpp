#include "parley/transaction.hpp"

#include <gtest/gtest.h>

#include "model/access.hpp"
#include "support/virtual_fixture.hpp"

namespace parley {
namespace {

using detail::TransactionAccess;

TEST(TransactionTest, NewRecordHoldsDefaults) {
  KORTransaction t;
  EXPECT_EQ(t.cmd(), "");
  EXPECT_EQ(t.resp(), "");
  EXPECT_TRUE(t.RespExpect());
  EXPECT_EQ(t.RespTimeout(), 10);
  EXPECT_TRUE(t.IsCmdTypeString());
  EXPECT_FALSE(t.InComm());
  EXPECT_EQ(t.ByteArrLen(), 0);
  EXPECT_EQ(t.ByteArrToString(), "");
  EXPECT_EQ(t.ByteArrRespStrVal(), "");
  std::vector<uint8_t> bytes;
  t.GetByteArrResp(bytes);
  EXPECT_EQ(bytes, std::vector<uint8_t>{0});
}

TEST(TransactionTest, ByteCommandKeepsEveryByteAndItsTextForm) {
  KORTransaction t;
  t.ByteCmd({0x41, 0x42, 0x43, 0x0D, 0x0A});
  EXPECT_EQ(t.ByteArrLen(), 4);
  EXPECT_EQ(t.ByteArrToString(), "ABC\r\n");
  std::vector<uint8_t> out{9, 9, 9, 9, 9, 9, 9, 9};
  t.GetByteArr(out);
  EXPECT_EQ(out, (std::vector<uint8_t>{0x41, 0x42, 0x43, 0x0D, 0x0A}));

  t.SetByteArr({0x00, 0x80, 0xFF});
  EXPECT_EQ(t.ByteArrToString(), std::string("\0\x80\xFF", 3));
  t.ByteCmd({7});
  EXPECT_EQ(t.ByteArrLen(), 0);
}

TEST(TransactionTest, EmptyByteArrayIsRefusedAndLeavesTheCommand) {
  KORTransaction t;
  t.ByteCmd({1, 2});
  PARLEY_EXPECT_ERROR(t.ByteCmd({}), err::SubscriptOutOfRange);
  EXPECT_EQ(t.ByteArrLen(), 1);
}

TEST(TransactionTest, ByteArrLenPast16BitsOverflows) {
  KORTransaction t;
  t.ByteCmd(std::vector<uint8_t>(32768, 1));
  EXPECT_EQ(t.ByteArrLen(), 32767);
  t.ByteCmd(std::vector<uint8_t>(32769, 1));
  PARLEY_EXPECT_ERROR(t.ByteArrLen(), err::Overflow);
}

TEST(TransactionTest, InFlightRecordIgnoresCommandPutsButNotTypeOrBytes) {
  KORTransaction t;
  t.cmd("OLD");
  TransactionAccess::SetInComm(t, true);
  t.cmd("NEW");
  t.RespTimeout(30);
  t.RespExpect(false);
  t.IsCmdTypeString(false);
  t.ByteCmd({1, 2, 3});
  EXPECT_EQ(t.cmd(), "OLD");
  EXPECT_EQ(t.RespTimeout(), 10);
  EXPECT_TRUE(t.RespExpect());
  EXPECT_FALSE(t.IsCmdTypeString());
  EXPECT_EQ(t.ByteArrLen(), 2);
  TransactionAccess::SetInComm(t, false);
  t.cmd("NEW");
  EXPECT_EQ(t.cmd(), "NEW");
}

TEST(TransactionTest, TextPassesEveryByteValueUntouched) {
  std::string all;
  for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
  KORTransaction t;
  t.cmd(all);
  TransactionAccess::SetResp(t, all);
  EXPECT_EQ(t.cmd(), all);
  EXPECT_EQ(t.resp(), all);
}

TEST(TransactionTest, PrefixSreOnlyWithoutCaseSensitiveReset) {
  KORTransaction t;
  t.cmd("MEAS?");
  EXPECT_TRUE(TransactionAccess::PrefixSRE(t));
  EXPECT_EQ(t.cmd(), "*SRE 16;MEAS?");

  t.cmd(":SYST;*RST;MEAS?");
  EXPECT_FALSE(TransactionAccess::PrefixSRE(t));
  EXPECT_EQ(t.cmd(), ":SYST;*RST;MEAS?");

  t.cmd("*rst");
  EXPECT_TRUE(TransactionAccess::PrefixSRE(t));
  EXPECT_EQ(t.cmd(), "*SRE 16;*rst");

  TransactionAccess::SetInComm(t, true);  // runs while a transaction is in flight
  t.cmd("ignored");
  EXPECT_TRUE(TransactionAccess::PrefixSRE(t));
  EXPECT_EQ(t.cmd(), "*SRE 16;*SRE 16;*rst");
}

TEST(TransactionTest, ByteResponseIsWrittenOnlyWhileInFlight) {
  KORTransaction t;
  TransactionAccess::SetByteArrResp(t, {0x31, 0x32});
  EXPECT_EQ(t.ByteArrRespStrVal(), "");
  TransactionAccess::SetInComm(t, true);
  TransactionAccess::SetByteArrResp(t, {0x31, 0x32});
  EXPECT_EQ(t.ByteArrRespStrVal(), "12");
  std::vector<uint8_t> out;
  t.GetByteArrResp(out);
  EXPECT_EQ(out, (std::vector<uint8_t>{0x31, 0x32}));
}

}  // namespace
}  // namespace parley
