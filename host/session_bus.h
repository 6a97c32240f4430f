// One method call on the user's session bus and its reply, for the installer's question to the
// desktop portal (host/desktop_proxy.cpp): a connection of its own to the bus's socket, the
// user's credentials as the kernel gives them to the bus, the call, and the reply read off the
// connection (host/bus_message.h), which then closes. No GLib main loop and no other process:
// the portable build, whose GLib has no D-Bus, asks as the development build does. A call
// blocks its thread until its deadline at most, and ends at once when the cancel descriptor
// becomes readable; calls on several threads do not share anything.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "host/bus_message.h"

namespace host {

// A socket that a bus address names.
struct BusSocket {
  std::string name;       // a path, or an abstract socket's name (without its leading NUL)
  bool abstract = false;  // in the abstract namespace, not the file system
};

// The sockets that `address` names, in its order: each of its entries ("unix:path=/run/user/1000/
// bus;unix:abstract=/tmp/dbus-x,guid=…") of the unix transport with a path or an abstract name,
// its %-escapes decoded. Entries of other transports, and those that cannot be read, are skipped.
std::vector<BusSocket> busSockets(std::string_view address);

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

// Calls `call` on the bus at `address`, after the bus's own Hello, and waits for its reply,
// passing over the bus's signals and any other message.
BusReply callSessionBus(std::string_view address, const BusCall& call,
                        std::chrono::steady_clock::time_point deadline, int cancelled);

}  // namespace host
