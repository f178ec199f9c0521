#pragma once
// Runs the tarnwick executable as a child process and measures it: exit
// status, peak resident memory (from wait4), wall time, and the most file
// descriptors it held open at once (sampled from /proc/PID/fd while it
// runs). Standard output and error go to files.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace tarnwick::testing {

struct ChildRun {
  int status = -1;      // exit status, -1 when killed by a signal
  long peakRssKb = 0;   // ru_maxrss of the child
  double seconds = 0;   // wall time
  int mostOpenFds = 0;  // largest /proc/PID/fd count seen
};

inline int countOpenFds(pid_t pid) {
  std::error_code ec;
  int n = 0;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end;
       !ec && it != end; it.increment(ec))
    ++n;
  return n;
}

// Runs `bin` with `args`; TMPDIR and TARNWICK_HOME are set to `tmp` and
// `home`. Output goes to `out` (stdout) and `err` (stderr).
inline ChildRun runChild(const std::string& bin, const std::vector<std::string>& args,
                         const std::string& tmp, const std::string& home, const std::string& out,
                         const std::string& err) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(bin.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  ChildRun run;
  const pid_t pid = ::fork();
  if (pid < 0) return run;
  if (pid == 0) {
    ::setenv("TMPDIR", tmp.c_str(), 1);
    ::setenv("TARNWICK_HOME", home.c_str(), 1);
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    ::unsetenv("QT_QPA_PLATFORM");
    const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (o < 0 || e < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0) ::_exit(127);
    ::close(o);
    ::close(e);
    ::execv(bin.c_str(), argv.data());
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage {};
  for (;;) {
    const pid_t done = ::wait4(pid, &status, WNOHANG, &usage);
    if (done == pid) break;
    if (done < 0) return run;
    run.mostOpenFds = std::max(run.mostOpenFds, countOpenFds(pid));
    ::usleep(20 * 1000);
  }
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.peakRssKb = usage.ru_maxrss;
  return run;
}

}  // namespace tarnwick::testing
