// One method call on the user's session bus and its reply, for the question to the desktop
// portal (host/desktop_proxy.cpp), on a connection of its own that authenticates with the
// socket's credentials: no GLib main loop, so the portable build, whose GLib has no D-Bus, asks
// as the development build does. A call blocks its thread until its deadline at most and ends at
// once when the cancel descriptor becomes readable; calls on several threads share nothing.
#pragma once

#include <chrono>
#include <string_view>

#include "host/bus_message.h"

namespace host {

enum class BusOutcome {
  kReplied,    // the call's method return or error came
  kNoBus,      // no socket of the address takes the connection, or the bus refuses the user
  kCancelled,  // the cancel descriptor became readable
  kTimedOut,   // the deadline passed first
  kClosed,     // the bus closed the connection before the reply
  kGarbage,    // the bus sent bytes that are no message
};

struct BusReply {
  BusOutcome outcome = BusOutcome::kNoBus;
  BusMessage message;  // kReplied: the method return or the error
};

// Calls `call` on the bus at `address` after Hello, and waits for its reply, passing over others.
BusReply callSessionBus(std::string_view address, const BusCall& call,
                        std::chrono::steady_clock::time_point deadline, int cancelled);

}  // namespace host
