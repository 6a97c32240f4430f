// The download window's calls (download_window.h) as messages between the portable installer and
// its window helper, which sends back what its user did. Both ends are built together: a message
// is a fixed-size record with its two texts after it, and a record that announces more than a
// message can hold ends the connection. Any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "download_app/download_window.h"

namespace download_app {

enum class WindowMessageKind : uint8_t {
  // The installer's: the calls.
  Progress,
  Status,
  Failure,
  Hide,
  Close,
  // The helper's.
  Shown,      // the window is made, to be shown by its first call that draws; the first message
  NoDisplay,  // GTK could not open the display; the first and last message
  Pressed,    // the user pressed the button
  Closed,     // the window has gone (the user, the window manager, its display)
};

struct WindowMessage {
  WindowMessageKind kind;
  Progress progress = {};  // a Progress's
  Status status = {};      // a Status's or a Failure's
};

std::string encodeWindowMessage(const WindowMessage& message);

// Sends `message` whole on the socket `fd`, waiting while it is full (the helper's way: the
// installer never waits for its helper); a peer that has gone is left to its hang-up.
void sendWindowMessage(int fd, const WindowMessage& message);

// Makes the call that the installer's `message` stands for on `window`.
void deliverWindowMessage(const WindowMessage& message, DownloadWindow& window);

// Gathers bytes as they arrive and hands out the messages they complete.
class WindowMessageReader {
 public:
  // Reads what has arrived on `fd`; false once the peer has hung up.
  bool readFrom(int fd);
  // The next complete message, taken out; nothing until one has fully arrived, or ever again
  // once the bytes are no message.
  std::optional<WindowMessage> next();
  // The bytes announced what no message is: an unknown kind, or texts over the bound.
  bool broken() const { return broken_; }

 private:
  std::string buffer_;
  bool broken_ = false;
};

}  // namespace download_app
