// GPIB forwarding through the remote unit (modes 1 and 4): the serial link plus the settings
// that the forwarding header carries to the instrument.
#include <stdexcept>

#include "serial_cmd.hpp"

namespace parley::cli {

int32_t TerminationValue(const std::string& name) {
  if (name == "eoi" || name == "EOI") return korITC_EOI;
  if (name == "cr" || name == "CR") return korITC_CR;
  if (name == "lf" || name == "LF") return korITC_LF;
  if (name == "crlf" || name == "CRLF") return korITC_CRLF;
  throw std::invalid_argument("--itc expects eoi, cr, lf or crlf, not '" + name + "'");
}

void ApplyForwardingSettings(KORInterface& iface, const Options& o) {
  // --address is the direct-GPIB spelling; the forwarding commands accept it as well.
  iface.GPIBAddress(static_cast<int32_t>(o.GetInt("gpib-address", o.GetInt("address", 1))));
  iface.DTO(static_cast<int16_t>(o.GetInt("dto", 5)));
  iface.ITC(TerminationValue(o.Get("itc", "eoi")));
  iface.IdleSPoll(static_cast<int16_t>(o.GetInt("idle-mask", 2)));
  iface.MAVSPoll(static_cast<int16_t>(o.GetInt("mav-mask", 4)));
}

// Called for --mode 4 only, so the serial link set-up applies the forwarding settings too.
void SetUpInOutGpib(const Options& o, KORInterface& iface) { ConfigureSerialLink(iface, o); }

}  // namespace parley::cli
