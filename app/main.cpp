// The tarnwick executable: a thin entry over the shell library, and the
// window when it is built in.

#include <iostream>
#include <string>
#include <vector>

#include "shell/program.h"
#ifdef TARNWICK_WITH_WINDOW
#include "ui/window_launcher.h"
#endif

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  tarnwick::shell::ProgramHooks hooks;
#ifdef TARNWICK_WITH_WINDOW
  hooks.openWindow = tarnwick::ui::runWindow;
#endif
  return tarnwick::shell::runProgram(args, std::cout, std::cerr, hooks);
}
