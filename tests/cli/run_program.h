// Runs a program with arguments and collects its exit code and output.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/hex_text.h"

namespace vestrel::test {

struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

inline std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The run is bounded: a program that hangs is killed after a minute and fails the test.
inline RunResult Run(const std::string& program, const std::vector<std::string>& args,
                     const TempDir& dir) {
  std::string command = "timeout 60 " + ShellQuote(program);
  for (const std::string& arg : args) command += " " + ShellQuote(arg);
  const std::string outPath = dir.File("run.out");
  const std::string errPath = dir.File("run.err");
  command += " >" + ShellQuote(outPath) + " 2>" + ShellQuote(errPath) + " </dev/null";
  const int status = std::system(command.c_str());
  RunResult result;
  if (status != -1 && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  result.out = ReadText(outPath);
  result.err = ReadText(errPath);
  return result;
}

}  // namespace vestrel::test
