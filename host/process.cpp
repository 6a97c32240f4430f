#include "host/process.h"

#include <errno.h>
#include <fcntl.h>
#include <glib.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#if !__GLIBC_PREREQ(2, 34)
// glibc 2.31's headers predate close_range (Linux 5.9); the kernel's name it.
#include <asm/unistd.h>
#if !defined(SYS_close_range) && defined(__NR_close_range)
#define SYS_close_range __NR_close_range
#endif
#endif

extern char** environ;

namespace host {
namespace {

#if !__GLIBC_PREREQ(2, 34)
// glibc before 2.34 (the portable build's) cannot close the installer's descriptors in
// posix_spawn: the child closes them itself and sets its signals as the attributes below would;
// a failed exec is reported through a pipe that the exec closes, as posix_spawn reports it.
int forkAndExec(pid_t* pid, const char* program, char* const argv[]) {
  struct rlimit limit {};
  int highest = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536
                    ? static_cast<int>(limit.rlim_cur)
                    : 65536;
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return errno;
  *pid = fork();
  if (*pid == 0) {
    // Only async-signal-safe calls from here: the installer has other threads.
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    for (int signal : {SIGPIPE, SIGXFSZ, SIGQUIT}) sigaction(signal, &standard, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    int reportFd = highest - 1;  // the last a process may have, out of the way
    if (dup2(report[1], reportFd) < 0 || fcntl(reportFd, F_SETFD, FD_CLOEXEC) < 0) _exit(127);
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3, reportFd - 1, 0) != 0)
#endif
      for (int fd = 3; fd < reportFd; ++fd) close(fd);
    execve(program, argv, environ);
    int error = errno;
    (void)!write(reportFd, &error, sizeof error);
    _exit(127);
  }
  int error = *pid < 0 ? errno : 0;
  close(report[1]);
  if (*pid > 0 && read(report[0], &error, sizeof error) == sizeof error) {
    while (waitpid(*pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  close(report[0]);
  return error;
}
#endif

}  // namespace

bool readParentage(pid_t pid, pid_t* parent, pid_t* group) {
  g_autofree gchar* text = nullptr;
  std::string path = "/proc/" + std::to_string(pid) + "/stat";
  if (!g_file_get_contents(path.c_str(), &text, nullptr, nullptr)) return false;
  // "pid (name) state ppid pgrp ...": the name may hold blanks and parentheses.
  const char* close = strrchr(text, ')');
  char state = 0;
  return close != nullptr && sscanf(close + 1, " %c %d %d", &state, parent, group) == 3;
}

Process Process::start(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<char*> argv = {const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  // Only the standard streams go to the child: the download's file and sockets stay ours.
  pid_t pid = -1;
#if !__GLIBC_PREREQ(2, 34)
  int error = forkAndExec(&pid, program.c_str(), argv.data());
#else
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  // The child starts with no signal blocked and SIGPIPE, SIGXFSZ and SIGQUIT at their defaults,
  // whatever the thread that starts it (the session's delegate queue, say) had, and whatever
  // the installer ignores while it waits; a signal ignored under nohup stays ignored.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int signal : {SIGPIPE, SIGXFSZ, SIGQUIT}) sigaddset(&defaults, signal);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  int error = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
#endif
  return error != 0 ? Process(-1, error) : Process(pid, 0);
}

}  // namespace host
