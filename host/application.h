// The application loop and its main queue, on GLib's default main context; the download window
// runs inside `runApplication` on the main thread. Other threads reach it through the main queue,
// in order: `runOnMain` waits for the closure, `postToMain` does not. Once the loop has stopped,
// pending closures are dropped and every waiting thread is released at once.
#pragma once

#include <cstdint>
#include <functional>

namespace host {

// Runs the loop on the main thread until `stopApplication` and returns the status given to it.
// `didFinishLaunching` runs once the loop has started. A termination signal (host/termination.h)
// calls `closeRequested` instead, while the loop runs or when it came before; one that comes
// while the loop stops is left to the caller's guard, or raised again without one.
int runApplication(std::function<void()> didFinishLaunching, std::function<void()> closeRequested);

// Ends the running loop with `status`. Safe from any thread, also from inside a closure or a
// session callback; a later call does not change the status. Does nothing when no loop runs.
void stopApplication(int status);

// True while `runApplication` is running its loop.
bool applicationIsRunning();

// True on the process's first thread, the one that runs the application loop.
bool isMainThread();

// Runs `work` on the main thread (at once when called there) and waits for it; false, without
// running it, when the loop is not running or stops first.
bool runOnMain(std::function<void()> work);

// Queues `work` for the main thread without waiting. Dropped when the loop is not running.
void postToMain(std::function<void()> work);

// How many closures from other threads the main queue has run: each one woke the main thread.
uint64_t mainQueueClosuresRun();

}  // namespace host
