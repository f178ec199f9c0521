// The tarnwick executable: a thin entry over the shell library. It links no
// GUI library, so a command-line job starts without loading one; when the
// window is wanted, the process becomes tarnwick-window (window_main.cpp),
// found beside this executable, with the same arguments.

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "app/heap_tuning.h"
#include "platform/held_work_files.h"
#include "shell/program.h"

namespace {

#ifdef TARNWICK_WINDOW_PROGRAM
// The folder of the running executable, or "" when it cannot be told.
std::string ownFolder() {
  std::string path(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
  if (n <= 0) return {};
  path.resize(size_t(n));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Replaces this process with the window program; returns only on failure.
int execWindowProgram(const std::vector<std::string>& args) {
  const std::string program = ownFolder() + "/" TARNWICK_WINDOW_PROGRAM;
  std::vector<char*> argv;
  std::string name = TARNWICK_WINDOW_PROGRAM;
  argv.push_back(name.data());
  std::vector<std::string> copies = args;
  for (std::string& arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::cout.flush();
  ::execv(program.c_str(), argv.data());
  std::cerr << "tarnwick: cannot start the window program " << program << ": "
            << std::strerror(errno) << "\n";
  return 1;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  tarnwick::app::tuneHeapForPageBuffers();
  tarnwick::platform::holdWorkFilesAsConfigured();
  const std::vector<std::string> args(argv + 1, argv + argc);
  tarnwick::shell::ProgramHooks hooks;
#ifdef TARNWICK_WINDOW_PROGRAM
  hooks.openWindow = [&args](tarnwick::BatchJob&, tarnwick::ConversionOptions&) {
    return execWindowProgram(args);
  };
#endif
  return tarnwick::shell::runProgram(args, std::cout, std::cerr, hooks);
}
