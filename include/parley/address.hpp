// One-string instrument addresses: what a link is, written as a single text.
//
//   ASRL<n>::INSTR                          a plain instrument on serial port number n (mode 2)
//   ASRL/dev/ttyUSB0::INSTR                 a plain instrument on that device (mode 2)
//   TCPIP[<board>]::<host>::<port>::SOCKET  a plain instrument on a TCP port (mode 5)
//   GPIB[<board>]::<primary>::INSTR         an instrument on the local GPIB board (mode 3)
//   UNIT::ASRL<n or path>::INSTR            the remote unit on a serial line (mode 2)
//   UNIT::ASRL<n or path>::GPIB::<primary>::INSTR   an instrument behind the unit (mode 1)
//   UNIT::ASRL<n or path>::GPIB::<primary>::INOUT   the same through In/Out (mode 4)
//   UNIT::TCPIP::<host>::<port>::INSTR      the remote unit over TCP (mode 5)
//
// Keywords are matched without regard to letter case; paths and host names are kept as
// written. A host holding "::" (IPv6) is written in brackets: TCPIP::[fe80::1]::5025::SOCKET.
// Line settings and terminators are not part of an address: set them on the interface.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "parley/enums.hpp"
#include "parley/export.hpp"
#include "parley/interface.hpp"

namespace parley {

struct Address {
  int32_t mode = korCommModeCRLFDirect;  // the commMode the address opens
  bool plain_instrument = false;         // a plain instrument, not the remote unit's protocol
  int32_t comm_port = 0;                 // serial: the port number; 0 when a path names it
  std::string device_path;               // serial: the device; empty when a number names it
  int32_t gpib_board = 0;                // modes 1, 3, 4
  int32_t gpib_address = -1;             // primary address 0..30 (modes 1, 3, 4); else -1
  std::string host;                      // mode 5
  int32_t tcp_port = 0;                  // mode 5

  bool operator==(const Address&) const = default;
};

// Parses `text`. A malformed address throws AutomationError(err::InvalidCall) whose
// description names the 1-based character position and what was expected there.
PARLEY_API Address ParseAddress(std::string_view text);

// The address in its usual spelling (upper-case keywords), as ParseAddress reads it back.
PARLEY_API std::string FormatAddress(const Address& address);

// Sets the mode and the link settings of `address` on `iface`, leaving line settings alone. A
// plain instrument's address also sets both terminators to "\n", what such instruments use
// (the defaults are the unit's); set others after it. The port must be closed (else
// AutomationError(err::InvalidCall)).
PARLEY_API void ApplyAddress(KORInterface& iface, const Address& address);

// A new interface for `address`, with its port open. A host that does not resolve or answer
// is reported by the first transaction (the TCP link connects then).
PARLEY_API std::unique_ptr<KORInterface> Open(std::string_view address);

// The addresses this machine offers, one per instrument: every serial device found (by its
// /dev/serial/by-id name where it has one) as ASRL<path>::INSTR, and where a GPIB driver is
// present, each listener on board 0 as GPIB0::<n>::INSTR. Nothing fails: what cannot be
// looked at is left out.
PARLEY_API std::vector<std::string> ListResources();

}  // namespace parley
