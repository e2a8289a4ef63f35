// parleyctl: run transactions with a remote unit or a GPIB instrument from a shell.
#include "cli.hpp"

int main(int argc, char** argv) { return parley::cli::RunCommandLine(argc, argv); }
