// The link settings of a KORInterface with their defaults.
#pragma once

#include <cstdint>
#include <string>

#include "parley/enums.hpp"

namespace parley::detail {

struct Settings {
  int32_t comm_mode = korCommModeCRLFDirect;
  int32_t comm_port = 1;
  int32_t bit_rate = korBitRate9600bps;
  int32_t parity = korParityOdd;
  int32_t data_bits = korDataBits7;
  int32_t stop_bits = korStopBits1;
  int16_t gpib_address = 1;
  int32_t itc = korITC_EOI;
  int16_t dto = 5;
  int16_t idle_spoll = 2;
  int16_t mav_spoll = 4;
  std::string cmd_term = "\r\n";
  std::string resp_term = "\r\n>";
  bool use_srq = false;
  bool eabo_expected = false;
  bool skip_ibclr = false;
  int16_t gpib_direct_max_resp_length = 256;
  bool remove_extra_char = false;
  bool verify_echo = true;
  bool plain_instrument = false;
  std::string device_path;  // empty: the port map's device for comm_port
  bool delay_gpib_trans = true;
  bool wait_for_mav_bit_clear = false;
  double time_delay_for_mav_bit = 1.0;
  std::string remote_host_ip_address = "000.000.000.000";
  int32_t remote_port_number = korWnskRemotePortNumber1;
  bool raise_ether_port_reset_err = false;
};

// The device on this link is a plain instrument (only the direct serial and TCP modes have one).
inline bool PlainLink(const Settings& s) {
  return s.plain_instrument &&
         (s.comm_mode == korCommModeCRLFDirect || s.comm_mode == korCommModeEther);
}

}  // namespace parley::detail
