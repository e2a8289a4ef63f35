// `parleyctl serial`: transactions over a serial device, and the options every serial-based mode
// shares (device, line settings, terminators), so the forwarding modes reuse them.
#pragma once

#include <string>

#include "cli.hpp"
#include "escapes.hpp"

namespace parley::cli {

// The port number the tool maps its --device to unless --comm-port names another.
inline constexpr int32_t kCliSerialPort = 1;
// The port numbers a program may use (KORInterface::CommPort).
inline constexpr int32_t kFirstSerialPort = 1;
inline constexpr int32_t kLastSerialPort = 16;

// The options of the pieces below, for the commands that use them.
void DefineOutputOptions(OptionSet& o);      // --trace, --quiet, --raw
void DefineTimeoutOption(OptionSet& o);      // --timeout
void DefineTerminatorOptions(OptionSet& o);  // --cmd-term, --resp-term, --remove-extra-char
// --device, --comm-port, --port-map, --line and its four settings
void DefineSerialLinkOptions(OptionSet& o);
void DefinePortMapOption(OptionSet& o);  // --port-map
void DefineLineOptions(OptionSet& o);    // --line and its four settings
// Applies --line and its four settings.
void ApplyLineSettings(KORInterface& iface, const Options& options);
// --dto, --itc, the masks, and with `with_address` --gpib-address.
void DefineForwardingOptions(OptionSet& o, bool with_address);
void DefineSerialCommand(OptionSet& o);

// Maps the port numbers of --port-map N=DEVICE in this program. Throws std::invalid_argument
// for a malformed entry.
void ApplyPortMap(const Options& options);

// Applies --port-map, --device, --comm-port, --line, --cmd-term, --resp-term, --remove-extra-char
// and --mode to `iface` (before openPort). Throws std::invalid_argument for a malformed option.
void ConfigureSerialLink(KORInterface& iface, const Options& options);

// Applies --cmd-term, --resp-term and --remove-extra-char, which every link of the remote unit
// takes (serial and TCP).
void ApplyTerminators(KORInterface& iface, const Options& options);

// Applies --gpib-address (or --address), --dto, --itc, --idle-mask and --mav-mask, the
// settings of the forwarding modes 1 and 4.
void ApplyForwardingSettings(KORInterface& iface, const Options& options);

// Decodes \r \n \t \\ and \xNN in a terminator or command; refuses any other escape.
using tools::DecodeEscapes;

// The transaction for a text command as written (escapes decoded).
KORTransaction TextTransaction(const std::string& command, int32_t timeout, bool expect);

// The library's parity for n, o or e, and its GPIB termination for eoi, cr, lf or crlf (either
// case); throw std::invalid_argument for anything else.
int32_t ParityValue(const std::string& letter);
int32_t TerminationValue(const std::string& name);

// A hint for an error number whose cause the user can check, or an empty text.
std::string SerialHint(int32_t number);

int RunSerial(const Options& options);

}  // namespace parley::cli
