// The application loop and its main queue.
#include "host/application.h"

#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/loop_timer.h"

namespace {

using namespace std::chrono_literals;

// A loop timer's tick that stops the loop with the status it carries.
gboolean stopWith(gpointer status) {
  host::stopApplication(GPOINTER_TO_INT(status));
  return G_SOURCE_CONTINUE;
}

// Runs the loop with a watchdog: a hang ends the run with status 99 after 10 s.
int runGuarded(
    std::function<void()> launched, std::function<void()> closeRequested = [] {}) {
  host::LoopTimer watchdog;
  watchdog.start(10'000, stopWith, GINT_TO_POINTER(99));
  return host::runApplication(std::move(launched), std::move(closeRequested));
}

TEST(Application, RunsUntilStoppedAndReturnsTheStatus) {
  EXPECT_FALSE(host::applicationIsRunning());
  bool launchedOnMain = false;
  bool runningInside = false;
  int status = runGuarded([&] {
    launchedOnMain = host::isMainThread();
    runningInside = host::applicationIsRunning();
    host::stopApplication(42);
    host::stopApplication(7);  // a later stop does not change the status
  });
  EXPECT_EQ(status, 42);
  EXPECT_TRUE(launchedOnMain);
  EXPECT_TRUE(runningInside);
  EXPECT_FALSE(host::applicationIsRunning());
  EXPECT_TRUE(host::isMainThread());
  host::stopApplication(1);  // no loop: nothing happens

  // The loop runs again, and a stop from another thread right at the start is not lost.
  std::thread stopper;
  status = runGuarded([&] { stopper = std::thread([] { host::stopApplication(8); }); });
  stopper.join();
  EXPECT_EQ(status, 8);
}

TEST(Application, ANestedRunIsRefused) {
  int nested = 0;
  int status = runGuarded([&] {
    nested = host::runApplication([] {}, [] {});
    host::stopApplication(0);
  });
  EXPECT_EQ(nested, -1);
  EXPECT_EQ(status, 0);
}

TEST(Application, RunOnMainRunsTheClosureOnTheMainThreadAndWaitsForIt) {
  std::atomic<bool> ranOnMain{false};
  bool returned = false;
  bool sideEffectSeen = false;
  bool nestedRanAtOnce = false;
  int status = runGuarded([&] {
    std::thread([&] {
      int value = 0;
      returned = host::runOnMain([&] {
        ranOnMain = host::isMainThread();
        value = 1;
        bool inner = false;
        host::runOnMain([&] { inner = true; });  // on the main thread: at once
        nestedRanAtOnce = inner;
      });
      sideEffectSeen = value == 1;  // runOnMain returned after the closure
      EXPECT_FALSE(host::isMainThread());
      host::stopApplication(0);
    }).detach();
  });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(returned);
  EXPECT_TRUE(ranOnMain);
  EXPECT_TRUE(sideEffectSeen);
  EXPECT_TRUE(nestedRanAtOnce);
}

TEST(Application, ClosuresRunInTheOrderTheyWerePosted) {
  std::vector<int> order;  // touched on the main thread only
  std::thread poster;
  int status = runGuarded([&] {
    poster = std::thread([&] {
      for (int i = 0; i < 200; ++i) {
        if (i % 10 == 9)
          host::runOnMain([&order, i] { order.push_back(i); });
        else
          host::postToMain([&order, i] { order.push_back(i); });
      }
      host::postToMain([] { host::stopApplication(0); });
    });
  });
  poster.join();
  EXPECT_EQ(status, 0);
  ASSERT_EQ(order.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(order[static_cast<size_t>(i)], i);
}

TEST(Application, WithoutALoopNothingRunsAndNoOneWaits) {
  bool ran = false;
  EXPECT_FALSE(host::runOnMain([&] { ran = true; }));  // on the main thread
  bool fromOther = true;
  std::thread([&] { fromOther = host::runOnMain([&] { ran = true; }); }).join();
  EXPECT_FALSE(fromOther);
  host::postToMain([&] { ran = true; });
  // A later loop does not run what was posted while none ran.
  host::LoopTimer stop;
  stop.start(50, stopWith, GINT_TO_POINTER(0));
  int status = runGuarded([] {});
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(ran);
}

TEST(Application, StoppingDropsPendingClosuresAndReleasesEveryWaiter) {
  constexpr int kWaiters = 4;
  std::atomic<int> ran{0};
  std::atomic<int> queued{0};
  std::vector<std::future<bool>> results;
  int status = runGuarded([&] {
    for (int i = 0; i < kWaiters; ++i) {
      results.push_back(std::async(std::launch::async, [&] {
        ++queued;
        return host::runOnMain([&] { ++ran; });
      }));
    }
    // The main thread is busy until the waiters have queued, then stops with them pending.
    while (queued < kWaiters) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(30ms);
    host::postToMain([&] { ++ran; });
    host::stopApplication(4);
    host::postToMain([&] { ++ran; });  // after the stop: refused
    EXPECT_FALSE(host::runOnMain([&] { ++ran; }));
  });
  EXPECT_EQ(status, 4);
  for (auto& result : results) {
    ASSERT_EQ(result.wait_for(5s), std::future_status::ready) << "a waiter was left hanging";
    EXPECT_FALSE(result.get());
  }
  EXPECT_EQ(ran, 0);

  // Nothing of that run leaks into the next one.
  host::LoopTimer stop;
  stop.start(200, stopWith, GINT_TO_POINTER(0));
  status = runGuarded([] {});
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ran, 0);
}

TEST(Application, StopFromAnotherThreadReleasesAWaiterWhoseClosureCannotRun) {
  std::promise<bool> result;
  std::atomic<bool> ran{false};
  int status = runGuarded([&] {
    std::thread([&] {
      // Queued behind a closure that stops the loop: it must not run, and must not hang.
      host::postToMain([] { host::stopApplication(6); });
      result.set_value(host::runOnMain([&] { ran = true; }));
    }).detach();
  });
  EXPECT_EQ(status, 6);
  auto future = result.get_future();
  ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(future.get());
  EXPECT_FALSE(ran);
}

struct sigaction dispositionOf(int signal) {
  struct sigaction action {};
  sigaction(signal, nullptr, &action);
  return action;
}

TEST(Application, SignalsAskToCloseWhileTheLoopRunsAndKeepTheirDefaultsOutside) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    ASSERT_EQ(dispositionOf(sig).sa_handler, SIG_DFL);
    bool closeOnMain = false;
    int closeCalls = 0;
    int status = runGuarded([&] { kill(getpid(), sig); },
                            [&] {
                              ++closeCalls;
                              closeOnMain = host::isMainThread();
                              host::stopApplication(10 + sig);
                            });
    EXPECT_EQ(status, 10 + sig);
    EXPECT_EQ(closeCalls, 1);
    EXPECT_TRUE(closeOnMain);
    struct sigaction after = dispositionOf(sig);
    EXPECT_EQ(after.sa_handler, SIG_DFL) << "the loop's handler stayed behind";
  }
  // A disposition the process had before (an ignored SIGHUP under nohup) is put back.
  signal(SIGHUP, SIG_IGN);
  int status = runGuarded([] { host::stopApplication(0); });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(dispositionOf(SIGHUP).sa_handler, SIG_IGN);
  signal(SIGHUP, SIG_DFL);
}

volatile sig_atomic_t recordedSignal = 0;
void recordSignal(int signal) { recordedSignal = signal; }

TEST(Application, SignalThatComesWhileTheLoopStopsIsRaisedAgainAfterIt) {
  struct sigaction record;
  struct sigaction before;
  memset(&record, 0, sizeof record);
  record.sa_handler = recordSignal;
  sigemptyset(&record.sa_mask);
  sigaction(SIGTERM, &record, &before);
  recordedSignal = 0;
  int closeCalls = 0;
  int status = runGuarded(
      [] {
        host::stopApplication(5);
        kill(getpid(), SIGTERM);
      },
      [&] { ++closeCalls; });
  EXPECT_EQ(status, 5);
  EXPECT_EQ(closeCalls, 0);
  EXPECT_EQ(recordedSignal, SIGTERM) << "the signal was lost";
  sigaction(SIGTERM, &before, nullptr);
}

TEST(Application, SignalIgnoredBeforeTheLoopIsNotTakenOver) {
  signal(SIGHUP, SIG_IGN);
  int closeCalls = 0;
  host::LoopTimer stop;
  stop.start(100, stopWith, GINT_TO_POINTER(3));
  int status = runGuarded([] { kill(getpid(), SIGHUP); }, [&] { ++closeCalls; });
  EXPECT_EQ(status, 3);
  EXPECT_EQ(closeCalls, 0);
  signal(SIGHUP, SIG_DFL);
}

}  // namespace
