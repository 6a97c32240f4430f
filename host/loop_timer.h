// A repeating timer on GLib's default main context, removed with its owner; main thread only.
// Header-only, so that the desktop window module can use it without linking the installer's core.
#pragma once

#include <glib.h>

namespace host {

class LoopTimer {
 public:
  LoopTimer() = default;
  ~LoopTimer() { stop(); }
  LoopTimer(const LoopTimer&) = delete;
  LoopTimer& operator=(const LoopTimer&) = delete;

  // Calls `tick(data)` every `intervalMs` until stopped. A tick that returns G_SOURCE_REMOVE
  // must have stopped the timer first, or `stop` would remove a source that is gone.
  void start(unsigned intervalMs, GSourceFunc tick, gpointer data) {
    stop();
    id_ = g_timeout_add(intervalMs, tick, data);
  }
  void stop() { g_clear_handle_id(&id_, g_source_remove); }
  bool running() const { return id_ != 0; }

 private:
  guint id_ = 0;
};

}  // namespace host
