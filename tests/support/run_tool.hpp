// Running a command line as a user would from a shell, for the tests of the tools.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace parley::testing {

struct ToolRun {
  std::string output;  // standard output and standard error together
  int exit_code = -1;
};

inline ToolRun RunTool(const std::string& command_line) {
  ToolRun run;
  FILE* out = popen((command_line + " 2>&1").c_str(), "r");
  if (!out) return run;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, out)) run.output += buffer;
  int status = pclose(out);
  if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
  return run;
}

}  // namespace parley::testing
