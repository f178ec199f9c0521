// The tarnwick executable: a thin entry over the shell library.

#include <iostream>
#include <string>
#include <vector>

#include "shell/program.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return tarnwick::shell::runProgram(args, std::cout, std::cerr);
}
