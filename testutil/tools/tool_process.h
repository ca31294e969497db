// Test helpers that run a built executable: a free port, a child process, its exit code.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "suite/appserver_socket.h"

namespace pigeonbox::testutil {

// A port that was free a moment ago.
inline uint16_t FreePort() {
  std::string error;
  uint16_t port = 0;
  int fd = appwire::ListenTcp("127.0.0.1", 0, &port, &error);
  close(fd);
  return port;
}

// Starts `path` with `args` in a child process.
inline pid_t SpawnTool(const char* path, std::vector<std::string> args) {
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv{const_cast<char*>(path)};
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(path, argv.data());
    _exit(127);
  }
  return pid;
}

// The child's exit code; -1 when it did not exit normally.
inline int WaitExit(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace pigeonbox::testutil
