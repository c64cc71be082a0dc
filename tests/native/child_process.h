// A child process with pipes on its standard streams, for the tests and
// benchmarks that run the real loadpost-cli (Linux).
//
// A test owns every process it starts. Each child leads a process group of its own, so a signal to its pid reaches it
// alone and its group can be killed as a whole. Finish reaps it; when the last copy of a Child goes without Finish (a
// test that failed half-way), its group is killed and it is reaped. And it dies with the process that started it, even
// when that one is killed outright: the kernel sends it SIGKILL then (the parent-death signal, which is tied to the
// spawning thread, so spawn from a thread that outlives the child).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace child_process {

namespace detail {

// The process itself and its pipes, closed and reaped once.
struct Owner {
  pid_t pid = -1;
  int fds[3] = {-1, -1, -1};
  bool finished = false;

  ~Owner() {
    if (finished) return;
    kill(-pid, SIGKILL);
    for (int fd : fds) {
      if (fd >= 0) close(fd);
    }
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
};

// In the child between fork and exec: only async-signal-safe calls. An end of -1 is /dev/null.
[[noreturn]] inline void StartChild(pid_t parent, const int (&ends)[3], int report, char* const* argv,
                                    char* const* envp) {
  setpgid(0, 0);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);  // the parent is gone already
  int from[3] = {ends[0], ends[1], ends[2]};
  for (int& fd : from) {
    if (fd < 0 && (fd = open("/dev/null", O_RDWR | O_CLOEXEC)) < 0) _exit(127);
  }
  for (int target = 0; target < 3; ++target) {
    // The pipes are close-on-exec; dup2 clears that for the copy (and a
    // descriptor that is already in place keeps it unless cleared).
    if (from[target] == target ? fcntl(target, F_SETFD, 0) < 0 : dup2(from[target], target) < 0) _exit(127);
  }
  execve(argv[0], argv, envp);
  const int error = errno;
  (void)!write(report, &error, sizeof error);
  _exit(127);
}

}  // namespace detail

struct Child {
  pid_t pid = -1;
  int in = -1;   // its standard input
  int out = -1;  // its standard output
  int err = -1;  // its standard error (-1 when it goes to /dev/null)
  std::shared_ptr<detail::Owner> owner;
};

// Starts args[0] (a path) with its standard streams on `ends` (-1: /dev/null) and `env` ("NAME=value") added to this
// process's environment. pid is -1 when it could not be started.
inline Child SpawnWith(const std::vector<std::string>& args, const int (&ends)[3], const std::vector<std::string>& env) {
  int report[2] = {-1, -1};
  if (pipe2(report, O_CLOEXEC)) return {};
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) environment.emplace_back(*e);
  for (const std::string& e : env) {
    const std::string name = e.substr(0, e.find('=') + 1);
    std::erase_if(environment, [&](const std::string& have) { return have.rfind(name, 0) == 0; });
    environment.push_back(e);
  }
  std::vector<char*> envp;
  for (std::string& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);

  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) detail::StartChild(parent, ends, report[1], argv.data(), envp.data());
  close(report[1]);
  Child c;
  if (pid < 0) {
    close(report[0]);
    return c;
  }
  setpgid(pid, pid);  // also here, so the group exists before this returns
  int error = 0;
  ssize_t got = 0;
  while ((got = read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
  }
  close(report[0]);
  c.pid = pid;
  c.owner = std::make_shared<detail::Owner>();
  c.owner->pid = pid;
  if (got > 0) {  // exec failed: the child is reaped with its owner
    c.owner.reset();
    c.pid = -1;
  }
  return c;
}

// Starts args[0] (a path) with pipes on its standard streams (standard error to
// /dev/null with errToNull) and `env` added to this process's environment.
inline Child Spawn(const std::vector<std::string>& args, bool errToNull = false,
                   const std::vector<std::string>& env = {}) {
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  const auto closeAll = [&] {
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
      if (fd >= 0) close(fd);
    }
  };
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || (!errToNull && pipe2(err, O_CLOEXEC))) {
    closeAll();
    return {};
  }
  Child c = SpawnWith(args, {in[0], out[1], err[1]}, env);
  if (c.owner) {
    c.in = c.owner->fds[0] = std::exchange(in[1], -1);
    c.out = c.owner->fds[1] = std::exchange(out[0], -1);
    c.err = c.owner->fds[2] = std::exchange(err[0], -1);
  }
  closeAll();
  return c;
}

// The command with its standard output and error on a terminal of its own, whose other side (*master) the caller can
// close: a closed terminal or ssh session, after which every write fails. Its standard input is /dev/null.
inline Child SpawnOnTerminal(const std::vector<std::string>& args, int* master) {
  *master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (*master < 0 || grantpt(*master) != 0 || unlockpt(*master) != 0) return {};
  const int slave = open(ptsname(*master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) return {};
  Child c = SpawnWith(args, {-1, slave, slave}, {});
  close(slave);
  return c;
}

struct Result {
  int code = -1;
  std::string out;
  std::string err;
  long maxRssKb = 0;  // the child's peak resident memory
};

// Reads the outputs to their end and waits for the exit code. A child silent for `silenceMs` counts as hung and is
// killed. Whatever is left of its process group goes with it.
inline Result Finish(Child c, int silenceMs = 300000) {
  Result r;
  if (!c.owner || c.owner->finished) return r;
  detail::Owner& owner = *c.owner;
  close(owner.fds[0]);
  owner.fds[0] = -1;
  pollfd fds[2] = {{owner.fds[1], POLLIN, 0}, {owner.fds[2], POLLIN, 0}};
  std::string* sinks[2] = {&r.out, &r.err};
  int open = (fds[0].fd >= 0) + (fds[1].fd >= 0);
  while (open > 0 && poll(fds, 2, silenceMs) > 0) {
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !fds[i].revents) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  if (open > 0) kill(-owner.pid, SIGKILL);
  for (const pollfd& p : fds) {
    if (p.fd >= 0) close(p.fd);
  }
  owner.fds[1] = owner.fds[2] = -1;
  // Waited for but not reaped: while it is a zombie its id, also as the group's id, cannot be taken by another process.
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(owner.pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  kill(-owner.pid, SIGKILL);
  int status = 0;
  rusage usage{};
  while (wait4(owner.pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  owner.finished = true;
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.maxRssKb = usage.ru_maxrss;
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
