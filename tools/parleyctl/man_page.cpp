#include "man_page.hpp"

#include <CLI/CLI.hpp>
#include <sstream>

#include "cli.hpp"
#include "plain_link.hpp"

namespace parley::cli {
namespace {

// Text as roff shows it: backslashes and dashes escaped, no line taken for a request.
std::string Roff(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
  }
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
  return out;
}

// With `help`, the help flags too (they are the same for every command).
void OptionList(std::ostringstream& page, const CLI::App& app, bool help) {
  for (const CLI::Option* option : app.get_options()) {
    bool is_help = option == app.get_help_ptr() || option == app.get_help_all_ptr();
    if (is_help && !help) continue;
    std::string type = option->get_type_name();
    page << ".TP\n\\fB" << Roff(option->get_name(false, true)) << "\\fR";
    if (!type.empty() && option->get_items_expected_max() != 0)
      page << " \\fI" << Roff(type) << "\\fR";
    page << "\n" << Roff(option->get_description()) << "\n";
  }
}

// What query, write, read and list take and print (keywords in any letter case).
constexpr const char* kAddressForms =
    "ASRL<n>::INSTR and ASRL/dev/ttyUSB0::INSTR: a plain instrument on serial port n or that "
    "device. TCPIP::<host>::<port>::SOCKET: a plain instrument on a TCP port. "
    "GPIB::<address>::INSTR: an instrument on the local board. UNIT::ASRL<n or path>::INSTR and "
    "UNIT::TCPIP::<host>::<port>::INSTR: the remote unit; UNIT::ASRL<n or "
    "path>::GPIB::<address>::INSTR (or ::INOUT): an instrument behind it (mode 1, or 4). Line "
    "settings and terminators come from the options.";

}  // namespace

std::string ManPage(const CLI::App& tool, const std::string& version) {
  std::ostringstream page;
  const std::string name = tool.get_name();
  std::string upper;
  for (char c : name) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  page << ".TH " << upper << " 1 \"\" \"" << name << " " << version << "\" \"User Commands\"\n"
       << ".SH NAME\n"
       << Roff(tool.get_description()) << "\n"
       << ".SH SYNOPSIS\n.B " << name << "\n.I COMMAND\n[\\fIOPTIONS\\fR] [\\fICOMMAND\\fR ...]\n"
       << ".SH OPTIONS\n";
  OptionList(page, tool, true);
  page << ".SH COMMANDS\n";
  for (const CLI::App* command : tool.get_subcommands([](const CLI::App*) { return true; })) {
    page << ".SS " << Roff(command->get_name()) << "\n" << Roff(command->get_description()) << "\n";
    OptionList(page, *command, false);
  }
  page << ".SH PLAIN INSTRUMENTS\n" << Roff(PlainLinkHelp()) << "\n";
  page << ".SH ADDRESSES\n" << Roff(kAddressForms) << "\n";
  page << ".SH EXIT STATUS\n"
       << Roff(ExitCodeHelp()) << "\n"
       << ".SH SEE ALSO\n\\fBparley\\-sim\\fR(1), \\fBparley\\-connd\\fR(1)\n";
  return page.str();
}

}  // namespace parley::cli
