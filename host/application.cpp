#include "host/application.h"

#include <errno.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace host {
namespace {

// One closure on the main queue.
struct Job {
  enum class State { kQueued, kDone, kDropped };
  std::function<void()> work;
  State state = State::kQueued;  // guarded by Loop::mutex
};

// A closure waiting for its delay; owned by its GLib source.
struct Timer {
  std::function<void()> work;
  GSource* source = nullptr;
};

// Everything the loop and the main queue share between threads.
struct Loop {
  std::mutex mutex;
  std::condition_variable settled;  // some Job left State::kQueued
  GMainLoop* loop = nullptr;        // the running loop; null when none runs
  bool stopping = false;            // stopApplication came during this run
  int status = 0;
  std::deque<std::shared_ptr<Job>> queue;
  GSource* drain = nullptr;      // our reference to the source draining `queue`, while attached
  std::vector<GSource*> timers;  // our references to pending runOnMainAfter sources
  bool mainThreadKnown = false;
  std::thread::id mainThread;
};

std::atomic<uint64_t> closuresRun{0};

// Never destroyed: a thread may still post while the process exits.
Loop& shared() {
  static Loop* loop = new Loop;
  return *loop;
}

bool acceptsWork(const Loop& s) { return s.loop != nullptr && !s.stopping; }

// Marks every queued closure dropped and wakes its waiter; the caller holds the mutex and
// destroys the returned closures after releasing it, since they may own arbitrary objects.
std::deque<std::shared_ptr<Job>> dropQueued(Loop& s) {
  for (auto& job : s.queue) job->state = Job::State::kDropped;
  s.settled.notify_all();
  return std::exchange(s.queue, {});
}

// Runs the closures queued when it starts, then yields to other sources (the window's
// redraws among them) before taking the next ones.
gboolean drainQueue(gpointer) {
  Loop& s = shared();
  std::unique_lock lock(s.mutex);
  for (size_t budget = s.queue.size(); budget > 0 && !s.queue.empty() && !s.stopping; --budget) {
    std::shared_ptr<Job> job = std::move(s.queue.front());
    s.queue.pop_front();
    lock.unlock();
    job->work();
    job->work = nullptr;  // its captures die here, on the main thread
    closuresRun.fetch_add(1, std::memory_order_relaxed);
    lock.lock();
    job->state = Job::State::kDone;
    s.settled.notify_all();
  }
  if (!s.queue.empty() && !s.stopping) return G_SOURCE_CONTINUE;
  g_source_unref(std::exchange(s.drain, nullptr));  // the context keeps it until we return
  return G_SOURCE_REMOVE;
}

void scheduleDrain(Loop& s) {
  if (s.drain) return;
  s.drain = g_idle_source_new();
  g_source_set_priority(s.drain, G_PRIORITY_DEFAULT);
  g_source_set_callback(s.drain, drainQueue, nullptr, nullptr);
  g_source_attach(s.drain, g_main_context_default());
}

gboolean fireTimer(gpointer data) {
  auto* timer = static_cast<Timer*>(data);
  Loop& s = shared();
  {
    std::lock_guard lock(s.mutex);
    if (!acceptsWork(s)) return G_SOURCE_REMOVE;
    auto it = std::find(s.timers.begin(), s.timers.end(), timer->source);
    if (it != s.timers.end()) {
      s.timers.erase(it);
      g_source_unref(timer->source);  // the context keeps it until we return
    }
  }
  timer->work();
  return G_SOURCE_REMOVE;
}

void deleteTimer(gpointer data) { delete static_cast<Timer*>(data); }

// Quitting from inside the loop cannot be lost: g_main_loop_quit before g_main_loop_run has
// started would be undone by the run.
gboolean quitLoop(gpointer data) {
  g_main_loop_quit(static_cast<GMainLoop*>(data));
  return G_SOURCE_REMOVE;
}

gboolean callOnce(gpointer data) {
  auto* function = static_cast<std::function<void()>*>(data);
  if (*function) (*function)();
  return G_SOURCE_REMOVE;
}

// The loop's own signal handler records each signal before anything else happens, so that
// one that comes while the loop stops is not lost: it is raised again afterwards. (A GLib
// signal source only learns of a signal when it is dispatched, which a stopping loop may
// never do.) The handler uses only lock-free atomics and write().
std::atomic<int> pendingSignals{0};  // a bit for each signal not yet acted on
std::atomic<int> signalPipeWrite{-1};
static_assert(std::atomic<int>::is_always_lock_free);

void onLoopSignal(int signal) {
  int savedErrno = errno;
  pendingSignals.fetch_or(1 << signal);
  int fd = signalPipeWrite.load();
  if (fd >= 0) {
    char byte = 1;
    ssize_t ignored = write(fd, &byte, 1);  // a full pipe wakes the loop all the same
    (void)ignored;
  }
  errno = savedErrno;
}

gboolean forwardSignal(gint fd, GIOCondition /*condition*/, gpointer data) {
  char bytes[64];
  while (read(fd, bytes, sizeof bytes) > 0) {
  }
  {
    Loop& s = shared();
    std::lock_guard lock(s.mutex);
    if (!acceptsWork(s)) return G_SOURCE_CONTINUE;  // left pending: raised after the loop
  }
  if (pendingSignals.exchange(0) == 0) return G_SOURCE_CONTINUE;
  auto* closeRequested = static_cast<std::function<void()>*>(data);
  if (*closeRequested) (*closeRequested)();
  return G_SOURCE_CONTINUE;
}

constexpr int kHandledSignals[] = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

int runApplication(std::function<void()> didFinishLaunching, std::function<void()> closeRequested) {
  Loop& s = shared();
  GMainContext* context = g_main_context_default();
  if (!g_main_context_acquire(context)) return -1;  // another thread drives the context
  GMainLoop* loop = g_main_loop_new(context, FALSE);
  {
    std::lock_guard lock(s.mutex);
    if (s.loop) {  // a nested run: refused
      g_main_loop_unref(loop);
      g_main_context_release(context);
      return -1;
    }
    s.loop = loop;
    s.stopping = false;
    s.status = 0;
    s.mainThreadKnown = true;
    s.mainThread = std::this_thread::get_id();
  }

  // The signals are the loop's while it runs; afterwards whatever was there before comes
  // back (an ignored SIGHUP under nohup, say, or the installer's own handler).
  int signalPipe[2] = {-1, -1};
  guint signalSource = 0;
  if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
    pendingSignals = 0;
    signalPipeWrite = signalPipe[1];
    signalSource = g_unix_fd_add_full(G_PRIORITY_DEFAULT, signalPipe[0], G_IO_IN, forwardSignal,
                                      &closeRequested, nullptr);
  }
  struct sigaction previous[std::size(kHandledSignals)];
  struct sigaction action {};
  action.sa_handler = onLoopSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (size_t i = 0; i < std::size(kHandledSignals); ++i) {
    sigaction(kHandledSignals[i], nullptr, &previous[i]);
    // A signal that the installer was started with ignored stays ignored.
    if (signalSource != 0 && previous[i].sa_handler != SIG_IGN)
      sigaction(kHandledSignals[i], &action, nullptr);
  }
  GSource* launch = g_idle_source_new();
  g_source_set_priority(launch, G_PRIORITY_DEFAULT);
  g_source_set_callback(launch, callOnce, &didFinishLaunching, nullptr);
  g_source_attach(launch, context);

  g_main_loop_run(loop);

  g_source_destroy(launch);
  g_source_unref(launch);
  for (size_t i = 0; i < std::size(kHandledSignals); ++i) {
    sigaction(kHandledSignals[i], &previous[i], nullptr);
  }
  if (signalSource != 0) {
    g_source_remove(signalSource);
    signalPipeWrite = -1;
    close(signalPipe[0]);
    close(signalPipe[1]);
  }
  // A signal that came while the loop was stopping closed nothing: it is raised again for
  // what was there before the loop (the installer's own handler, which passes it on to the
  // agent that the run now waits for).
  int missed = pendingSignals.exchange(0);
  for (int signal : kHandledSignals) {
    if (missed & (1 << signal)) raise(signal);
  }

  std::deque<std::shared_ptr<Job>> dropped;
  std::vector<GSource*> timers;
  GSource* drain = nullptr;
  int status = 0;
  {
    std::lock_guard lock(s.mutex);
    s.loop = nullptr;
    s.stopping = false;
    dropped = dropQueued(s);
    timers = std::exchange(s.timers, {});
    drain = std::exchange(s.drain, nullptr);
    status = s.status;
  }
  // Destroyed outside the lock: their destroy notifies free closures that may own anything.
  for (GSource* timer : timers) {
    g_source_destroy(timer);
    g_source_unref(timer);
  }
  if (drain) {
    g_source_destroy(drain);
    g_source_unref(drain);
  }
  dropped.clear();
  g_main_loop_unref(loop);
  g_main_context_release(context);
  return status;
}

void stopApplication(int status) {
  Loop& s = shared();
  std::deque<std::shared_ptr<Job>> dropped;  // destroyed after the lock is released
  std::lock_guard lock(s.mutex);
  if (!acceptsWork(s)) return;
  s.stopping = true;
  s.status = status;
  dropped = dropQueued(s);
  GSource* quit = g_idle_source_new();
  g_source_set_priority(quit, G_PRIORITY_HIGH);
  g_source_set_callback(quit, quitLoop, g_main_loop_ref(s.loop),
                        reinterpret_cast<GDestroyNotify>(g_main_loop_unref));
  g_source_attach(quit, g_main_context_default());
  g_source_unref(quit);
}

bool applicationIsRunning() {
  Loop& s = shared();
  std::lock_guard lock(s.mutex);
  return acceptsWork(s);
}

bool isMainThread() {
  Loop& s = shared();
  {
    std::lock_guard lock(s.mutex);
    if (s.mainThreadKnown) return s.mainThread == std::this_thread::get_id();
  }
  // No loop has run yet: the main thread is the process's first one.
  return static_cast<pid_t>(syscall(SYS_gettid)) == getpid();
}

bool runOnMain(std::function<void()> work) {
  Loop& s = shared();
  if (isMainThread()) {
    {
      std::lock_guard lock(s.mutex);
      if (!acceptsWork(s)) return false;
    }
    work();
    return true;
  }
  auto job = std::make_shared<Job>();
  job->work = std::move(work);
  std::unique_lock lock(s.mutex);
  if (!acceptsWork(s)) return false;
  s.queue.push_back(job);
  scheduleDrain(s);
  s.settled.wait(lock, [&] { return job->state != Job::State::kQueued; });
  return job->state == Job::State::kDone;
}

void postToMain(std::function<void()> work) {
  Loop& s = shared();
  auto job = std::make_shared<Job>();
  job->work = std::move(work);
  std::lock_guard lock(s.mutex);
  if (!acceptsWork(s)) return;  // `job` dies after the lock is released
  s.queue.push_back(std::move(job));
  scheduleDrain(s);
}

uint64_t mainQueueClosuresRun() { return closuresRun.load(std::memory_order_relaxed); }

void runOnMainAfter(std::chrono::milliseconds delay, std::function<void()> work) {
  Loop& s = shared();
  auto timer = std::make_unique<Timer>();
  timer->work = std::move(work);
  std::lock_guard lock(s.mutex);
  if (!acceptsWork(s)) return;
  GSource* source = g_timeout_source_new(static_cast<guint>(std::max<int64_t>(0, delay.count())));
  timer->source = source;
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(source, fireTimer, timer.release(), deleteTimer);
  s.timers.push_back(source);  // keeps the creation reference
  g_source_attach(source, g_main_context_default());
}

}  // namespace host
