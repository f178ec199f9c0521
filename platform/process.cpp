#include "platform/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <memory>

extern char** environ;

namespace tarnwick::platform {

namespace {

struct FileActions {
  posix_spawn_file_actions_t actions;
  bool ready = false;
  FileActions() { ready = posix_spawn_file_actions_init(&actions) == 0; }
  ~FileActions() {
    if (ready) posix_spawn_file_actions_destroy(&actions);
  }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
};

}  // namespace

int runProgram(const std::string& program, const std::vector<std::string>& arguments) {
  FileActions files;
  if (!files.ready ||
      posix_spawn_file_actions_addopen(&files.actions, 0, "/dev/null", O_RDONLY, 0) != 0 ||
      posix_spawn_file_actions_addopen(&files.actions, 1, "/dev/null", O_WRONLY, 0) != 0)
    return kRunNotStarted;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  pid_t child = 0;
  if (posix_spawnp(&child, program.c_str(), &files.actions, nullptr, argv.data(), environ) != 0)
    return kRunNotStarted;
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return kRunWaitFailed;
  }
  return 0;
}

}  // namespace tarnwick::platform
