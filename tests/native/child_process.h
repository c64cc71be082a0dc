// A child process with pipes on its standard streams, for the tests and
// benchmarks that run the real loadpost-cli (POSIX).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

namespace child_process {

struct Child {
  pid_t pid = -1;
  int in = -1;   // its standard input
  int out = -1;  // its standard output
  int err = -1;  // its standard error (-1 when it goes to /dev/null)
};

inline Child Spawn(const std::vector<std::string>& args, bool errToNull = false) {
  int in[2], out[2], err[2] = {-1, -1};
  if (pipe(in) || pipe(out) || (!errToNull && pipe(err))) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  if (errToNull) {
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  }
  for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
    if (fd >= 0) posix_spawn_file_actions_addclose(&actions, fd);
  }
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  Child c;
  if (posix_spawn(&c.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) c.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  if (err[1] >= 0) close(err[1]);
  c.in = in[1];
  c.out = out[0];
  c.err = err[0];
  return c;
}

struct Result {
  int code = -1;
  std::string out;
  std::string err;
};

// Reads the outputs to their end and waits for the exit code. A child silent
// for `silenceMs` counts as hung and is killed.
inline Result Finish(Child c, int silenceMs = 300000) {
  Result r;
  close(c.in);
  pollfd fds[2] = {{c.out, POLLIN, 0}, {c.err, POLLIN, 0}};
  std::string* sinks[2] = {&r.out, &r.err};
  int open = (c.out >= 0) + (c.err >= 0);
  while (open > 0 && poll(fds, 2, silenceMs) > 0) {
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !fds[i].revents) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  if (open > 0) kill(c.pid, SIGKILL);
  for (const pollfd& p : fds) {
    if (p.fd >= 0) close(p.fd);
  }
  int status = 0;
  waitpid(c.pid, &status, 0);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

inline std::string ReadLine(int fd) {
  std::string line;
  char ch;
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, 10000) > 0 && read(fd, &ch, 1) == 1 && ch != '\n') line += ch;
  return line;
}

// Reads `sim-serve`'s announcement up to its "device-root <folder>" line:
// the folder, and each "<serial> <device>" line into *devices when given.
inline std::string ReadDeviceRoot(int fd, std::map<std::string, std::string>* devices = nullptr) {
  for (std::string line = ReadLine(fd); !line.empty(); line = ReadLine(fd)) {
    const size_t space = line.find(' ');
    if (line.compare(0, space, "device-root") == 0) return line.substr(space + 1);
    if (devices) (*devices)[line.substr(0, space)] = line.substr(space + 1);
  }
  return {};
}

}  // namespace child_process
