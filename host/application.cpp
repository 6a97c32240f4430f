#include "host/application.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <utility>

#include "host/files.h"
#include "host/termination.h"

namespace host {
namespace {

// One closure on the main queue.
struct Job {
  explicit Job(std::function<void()> work) : work(std::move(work)) {}
  std::function<void()> work;
  std::promise<bool> ran;  // true once it ran, false when it was dropped
};

// Everything the loop and the main queue share between threads.
struct Loop {
  std::mutex mutex;
  GMainLoop* loop = nullptr;  // the running loop; null when none runs
  bool stopping = false;      // stopApplication came during this run
  int status = 0;
  std::deque<std::shared_ptr<Job>> queue;
  guint drain = 0;  // the source draining `queue`, while attached
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
  for (auto& job : s.queue) job->ran.set_value(false);
  return std::exchange(s.queue, {});
}

// Runs the closures queued when it starts, then yields to other sources (the window's redraws).
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
    job->ran.set_value(true);
    lock.lock();
  }
  if (!s.queue.empty() && !s.stopping) return G_SOURCE_CONTINUE;
  s.drain = 0;
  return G_SOURCE_REMOVE;
}

// Queues `job` for the main thread, under the caller's lock; false when the loop takes no work.
bool enqueue(Loop& s, const std::shared_ptr<Job>& job) {
  if (!acceptsWork(s)) return false;
  s.queue.push_back(job);
  if (!s.drain) s.drain = g_idle_add_full(G_PRIORITY_DEFAULT, drainQueue, nullptr, nullptr);
  return true;
}

// Quitting from inside the loop cannot be lost: g_main_loop_quit before g_main_loop_run has
// started would be undone by the run.
gboolean quitLoop(gpointer data) {
  g_main_loop_quit(static_cast<GMainLoop*>(data));
  return G_SOURCE_REMOVE;
}

gboolean callOnce(gpointer data) {
  (*static_cast<std::function<void()>*>(data))();
  return G_SOURCE_REMOVE;
}

// A termination signal closes the window, as its close button does.
gboolean onTermination(gint fd, GIOCondition /*condition*/, gpointer data) {
  char bytes[64];
  while (read(fd, bytes, sizeof bytes) > 0) {
  }
  auto& closeRequested = *static_cast<std::function<void()>*>(data);
  if (applicationIsRunning() && takeListenedSignals() != 0 && closeRequested) closeRequested();
  return G_SOURCE_CONTINUE;
}

// Makes a new loop on the default context the running one; null when another thread drives
// the context or a loop runs already (a nested run is refused).
GMainLoop* claimLoop() {
  Loop& s = shared();
  std::lock_guard lock(s.mutex);
  if (s.loop || !g_main_context_acquire(g_main_context_default())) return nullptr;
  s.loop = g_main_loop_new(g_main_context_default(), FALSE);
  s.stopping = false;
  s.status = 0;
  return s.loop;
}

// Runs `loop` with the termination signals closing the window; the signals that came while it
// was stopping, one bit each, unless an outer guard (the driver's) has recorded them already.
int runListening(GMainLoop* loop, const std::function<void()>& didFinishLaunching,
                 std::function<void()>& closeRequested) {
  // The signals wake the loop while it runs; afterwards they do what they did before (the
  // driver's guard records them, an ignored SIGHUP under nohup stays ignored).
  TerminationGuard guard;
  int ends[2] = {-1, -1};
  const bool listening = pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0;
  FileDescriptor wakeRead(ends[0]), wakeWrite(ends[1]);
  const guint signalSource =
      listening ? g_unix_fd_add(ends[0], G_IO_IN, onTermination, &closeRequested) : 0;
  listenForTermination(ends[1]);
  std::function<void()> launched = [&] {
    if (terminationSignal() != 0 && closeRequested)
      closeRequested();
    else
      didFinishLaunching();
  };
  g_idle_add_full(G_PRIORITY_DEFAULT, callOnce, &launched, nullptr);
  g_main_loop_run(loop);
  g_source_remove_by_user_data(&launched);  // when the loop stopped before it ran
  listenForTermination(-1);
  if (signalSource) g_source_remove(signalSource);
  return guard.outermost() ? takeListenedSignals() : 0;
}

}  // namespace

int runApplication(std::function<void()> didFinishLaunching, std::function<void()> closeRequested) {
  GMainLoop* loop = claimLoop();
  if (!loop) return -1;
  int missed = runListening(loop, didFinishLaunching, closeRequested);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    if (missed & (1 << signal)) raise(signal);
  }
  Loop& s = shared();
  std::unique_lock lock(s.mutex);
  s.loop = nullptr;
  std::deque<std::shared_ptr<Job>> dropped = dropQueued(s);
  const guint drain = std::exchange(s.drain, 0);
  const int status = s.status;
  lock.unlock();  // the closures may own anything
  if (drain) g_source_remove(drain);
  dropped.clear();
  g_main_loop_unref(loop);
  g_main_context_release(g_main_context_default());
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
  g_idle_add_full(G_PRIORITY_HIGH, quitLoop, g_main_loop_ref(s.loop),
                  reinterpret_cast<GDestroyNotify>(g_main_loop_unref));
}

bool applicationIsRunning() {
  Loop& s = shared();
  std::lock_guard lock(s.mutex);
  return acceptsWork(s);
}

bool isMainThread() { return gettid() == getpid(); }

bool runOnMain(std::function<void()> work) {
  Loop& s = shared();
  if (isMainThread()) {
    if (!applicationIsRunning()) return false;
    work();
    return true;
  }
  auto job = std::make_shared<Job>(std::move(work));
  std::future<bool> ran = job->ran.get_future();
  std::unique_lock lock(s.mutex);
  if (!enqueue(s, job)) return false;
  lock.unlock();
  return ran.get();
}

void postToMain(std::function<void()> work) {
  Loop& s = shared();
  auto job = std::make_shared<Job>(std::move(work));
  std::lock_guard lock(s.mutex);
  enqueue(s, job);  // a refused `job` dies after the lock is released
}

uint64_t mainQueueClosuresRun() { return closuresRun.load(std::memory_order_relaxed); }

}  // namespace host
