// tarnwick-window: the tarnwick program with the window built in. tarnwick
// turns into it when the window is wanted; run directly, it does all that
// tarnwick does.

#include <iostream>
#include <string>
#include <vector>

#include "app/heap_tuning.h"
#include "platform/held_work_files.h"
#include "shell/program.h"
#include "ui/window_launcher.h"

int main(int argc, char** argv) {
  tarnwick::app::tuneHeapForPageBuffers();
  tarnwick::platform::holdWorkFilesAsConfigured();
  const std::vector<std::string> args(argv + 1, argv + argc);
  tarnwick::shell::ProgramHooks hooks;
  hooks.openWindow = tarnwick::ui::runWindow;
  return tarnwick::shell::runProgram(args, std::cout, std::cerr, hooks);
}
