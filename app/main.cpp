// The tarnwick executable: a thin entry over the shell library, and the
// window when it is built in.

#include <malloc.h>

#include <iostream>
#include <string>
#include <vector>

#include "shell/program.h"
#ifdef TARNWICK_WITH_WINDOW
#include "ui/window_launcher.h"
#endif

int main(int argc, char** argv) {
  // Page buffers of a few hundred KB to a few MB come and go with every
  // page. Above glibc's default threshold each is a fresh mapping whose
  // pages fault in anew, which took up to a third of a conversion's time;
  // served from the heap and kept there when freed, they are reused.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
  const std::vector<std::string> args(argv + 1, argv + argc);
  tarnwick::shell::ProgramHooks hooks;
#ifdef TARNWICK_WITH_WINDOW
  hooks.openWindow = tarnwick::ui::runWindow;
#endif
  return tarnwick::shell::runProgram(args, std::cout, std::cerr, hooks);
}
