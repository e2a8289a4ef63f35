// parleyctl gpib / spoll / read / ren: direct GPIB (mode 3) on a local board or the simulated bus.
// spoll, read and ren also serve mode 4 (--mode 4), whose link set-up lives in its own file.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <optional>
#include <stdexcept>

#include "cli.hpp"
#include "links.hpp"
#include "plain_link.hpp"
#include "progress.hpp"
#include "serial_cmd.hpp"
#include "trace_out.hpp"

namespace parley::cli {

int RunReadAddress(const Options& o);

namespace {

// The simulated bus of one run: an instrument at the chosen address that answers queries.
SimulatedGpibBus& SimBus() {
  static SimulatedGpibBus bus;
  return bus;
}

void SetUpSimulatedInstrument(const Options& o, int address) {
  auto dev = SimBus().AddInstrument(address);
  dev.OnCommand([](const std::string& command) -> std::optional<std::string> {
    if (command == "*IDN?") return "Parley,SimulatedInstrument,0,1.0";
    if (command == "MEAS?") return "+1.234500E+00";
    if (!command.empty() && command.back() == '?') return command.substr(0, command.size() - 1);
    return std::nullopt;  // a setting: nothing to read
  });
  if (o.Has("sim-delay")) dev.ResponseDelay(std::stod(o.Get("sim-delay")));
  if (o.Has("sim-pending")) dev.QueueReply(o.Get("sim-pending"));
  if (o.Has("sim-busy")) dev.Busy(true);
  if (o.Has("srq")) dev.StatusBits(0x02, 0x10);
}

void ChooseDriver(const Options& o, int address) {
  std::string driver = o.Get("driver", "system");
  if (driver == "sim") {
    UseSimulatedGpibBus(SimBus());
    SetUpSimulatedInstrument(o, address);
  } else if (driver == "system") {
    UseSystemGpibLibrary();
  } else {
    UseGpibLibrary(driver);
  }
}

// Settings common to the direct-GPIB commands.
void ApplySettings(const Options& o, KORInterface& iface) {
  iface.commMode(korCommModeGPIBDirect);
  iface.GPIBAddress(static_cast<int32_t>(o.GetInt("address", 1)));
  iface.DTO(static_cast<int16_t>(o.GetInt("dto", 5)));
  iface.IdleSPoll(static_cast<int16_t>(o.GetInt("idle-mask", 2)));
  iface.MAVSPoll(static_cast<int16_t>(o.GetInt("mav-mask", o.Has("srq") ? 16 : 4)));
  iface.UseSRQ(o.Has("srq"));
  iface.EABOExpected(o.Has("eabo"));
  iface.RemoveExtraChar(o.Has("strip"));
  iface.GPIBDirectMaxRespLength(static_cast<int16_t>(o.GetInt("max-length", 256)));
}

void PrintHint(const AutomationError& e) {
  if (auto hint = GpibHint(e.Number()); !hint.empty()) std::cerr << "hint: " << hint << "\n";
}

template <class F>
int Guarded(KORInterface& iface, const Options& o, F&& f) {
  TraceOutput trace(iface, o);
  int status = 0;
  {
    ProgressWatch watch(iface, std::cerr, ShowsProgress(o));
    watch.Begin(static_cast<int32_t>(o.GetInt("timeout", korShort)));
    try {
      f();
    } catch (const AutomationError& e) {
      watch.Clear();
      PrintError(std::cerr, e);
      PrintHint(e);
      status = ExitCodeFor(e.Number());
    }
  }
  trace.Finish(std::cerr);
  return status;
}

int Mode(const Options& o) {
  long mode = o.GetInt("mode", korCommModeGPIBDirect);
  if (mode != korCommModeGPIBDirect && mode != korCommModeGPIBInOut) {
    throw std::invalid_argument("option --mode expects 3 (direct GPIB) or 4 (GPIB In/Out)");
  }
  return static_cast<int>(mode);
}

// Prepares `iface` for spoll, read or ren in the chosen mode and opens its port.
void SetUpGpibCommand(const Options& o, KORInterface& iface) {
  if (Mode(o) == korCommModeGPIBInOut) {
    SetUpInOutGpib(o, iface);
  } else {
    SetUpDirectGpib(o, iface);
  }
  iface.openPort();
}

// Refused here, before the port opens: a usage mistake, not an error of the instrument.
void RefuseOverlongCommands(const Options& o) {
  for (std::size_t i = 0; i < o.Positional().size(); ++i) {
    std::size_t size = o.Positional()[i].size();
    if (size <= kMaxGpibDirectCommandLength) continue;
    throw std::invalid_argument("argument " + std::to_string(i + 1) + ": a command of " +
                                std::to_string(size) + " bytes; direct GPIB takes at most " +
                                std::to_string(kMaxGpibDirectCommandLength) + " (nothing sent)");
  }
}

int RunGpib(const Options& o) {
  if (o.Positional().empty()) throw std::invalid_argument("give at least one command to send");
  RefuseOverlongCommands(o);
  KORInterface iface;
  SetUpDirectGpib(o, iface);
  iface.openPort();
  return Guarded(iface, o, [&] {
    for (const auto& command : o.Positional()) {
      KORTransaction t;
      t.cmd(command);
      t.RespTimeout(static_cast<int32_t>(o.GetInt("timeout", korShort)));
      t.DeadlineMs(TimesFor(o).deadline_ms);
      t.RespExpect(!o.Has("no-response"));
      iface.Transact(t);
      if (t.RespExpect()) std::cout << Visible(t.resp()) << "\n" << std::flush;
    }
    iface.GPIBClose();
  });
}

int RunSpoll(const Options& o) {
  KORInterface iface;
  SetUpGpibCommand(o, iface);
  return Guarded(iface, o, [&] {
    int16_t value = 0;
    iface.Spoll(value);
    std::cout << StatusByteText(value) << "\n";
  });
}

int RunRead(const Options& o) {
  if (!o.Positional().empty()) return RunReadAddress(o);
  KORInterface iface;
  SetUpGpibCommand(o, iface);
  return Guarded(iface, o, [&] {
    int16_t value = 0;
    if (Mode(o) == korCommModeGPIBDirect) {
      // A fresh process must open the device first; without a device clear, which would
      // throw away the very response to be read.
      iface.SkipIBClr(true);
      iface.Spoll(value);
    }
    KORTransaction t;
    t.cmd("(read)");  // validated though never sent
    t.RespTimeout(static_cast<int32_t>(o.GetInt("timeout", korShort)));
    t.DeadlineMs(TimesFor(o).deadline_ms);
    iface.GetTransact(t);
    std::cout << Visible(t.resp()) << "\n";
  });
}

int RunRen(const Options& o) {
  KORInterface iface;
  SetUpGpibCommand(o, iface);
  return Guarded(iface, o, [&] {
    iface.RemoteEnable();
    std::cout << "remote enable pulsed\n";
  });
}

void DefineDirectOptions(OptionSet& o) {
  o.Whole("--address,--gpib-address,--GPIBAddress", "N", 0, 30, "the instrument's GPIB address",
          "1");
  o.Flag("--strip,--remove-extra-char,--RemoveExtraChar",
         "strip CR and LF from the end of each response");
  DefineGpibDriverOptions(o);
  DefineForwardingOptions(o, false);
  DefineOutputOptions(o);
}

// spoll, read and ren: mode 3 or, over the serial link, mode 4.
void DefineModeOptions(OptionSet& o) {
  o.OneOf("--mode,--commMode", "MODE", {3, 4}, "3: direct GPIB; 4: GPIB In/Out through the unit",
          "3");
  DefineDirectOptions(o);
  DefineSerialLinkOptions(o);
}

}  // namespace

void DefineGpibDriverOptions(OptionSet& o) {
  o.Text("--driver", "sim|system|PATH",
         "GPIB driver (mode 3): the simulated bus, the system's libgpib.so.0, or a library at "
         "PATH",
         "system");
  o.Flag("--srq,--UseSRQ", "wait for service request instead of polling (mode 3)");
  o.Flag("--eabo,--EABOExpected", "an aborted read is expected and not an error (mode 3)");
  o.Whole("--max-length,--GPIBDirectMaxRespLength", "BYTES", 1, 32767,
          "largest response read at once (mode 3)", "256");
  o.Real("--sim-delay", "SECONDS", 0, 3600, "with --driver sim: the instrument's answer delay",
         "0");
  o.Text("--sim-pending", "TEXT", "with --driver sim: an answer already waiting to be read");
  o.Flag("--sim-busy", "with --driver sim: the instrument reports busy");
}

std::string GpibHint(int32_t number) {
  // The board cannot be initialised: say what the loader said, and what to try.
  if (number != err::GpibBoardInitFailed) return "";
  std::string why = GpibLibraryLoadError();
  return (why.empty() ? "" : why + "\nhint: ") +
         "is linux-gpib installed and the board configured (gpib_config)? --driver sim runs "
         "against the simulated bus.";
}

std::string StatusByteText(int16_t value) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02X", value & 0xFF);
  return std::to_string(value) + " (" + hex + ")";
}

void SetUpDirectGpib(const Options& o, KORInterface& iface) {
  ChooseDriver(o, static_cast<int>(o.GetInt("address", 1)));
  ApplySettings(o, iface);
}

std::vector<Command> GpibCommands() {
  return {
      {"gpib", "direct-GPIB (mode 3) transactions, printing each response",
       [](OptionSet& o) {
         DefineDirectOptions(o);
         DefineTimeoutOption(o);
         DefineDeadlineOption(o);
         o.Flag("--no-response", "send only, expect and print no response");
         o.Words("COMMAND", "commands to send, in order");
       },
       RunGpib},
      {"spoll", "serial-polls the instrument and prints its status byte", DefineModeOptions,
       RunSpoll},
      {"read", "reads a pending response without sending",
       [](OptionSet& o) {
         DefineModeOptions(o);
         DefineTimeoutOption(o);
         DefineDeadlineOption(o);
         o.Words("ADDRESS",
                 "a GPIB instrument's address instead of the options: GPIB::9::INSTR, "
                 "UNIT::ASRL1::GPIB::9::INOUT");
       },
       RunRead},
      {"ren", "pulses the GPIB remote-enable line (off, then on)", DefineModeOptions, RunRen},
  };
}

}  // namespace parley::cli
