// The download window's calls as messages: the controls make one per call (controls.h), and the
// portable installer sends them to its window helper, which sends its events back. Both ends are
// built together, so a message is a plain fixed-size record with a text after it. Any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace download_app {

enum class WindowMessageKind : uint8_t {
  // The controls' calls, with their one value in `number` or `text`.
  SetDoubleValue,
  SetMaxValue,
  SetIndeterminate,
  IncrementBy,
  SetStringValue,
  SetTextColor,  // number 1: red
  SetTitle,
  SetEnabled,
  SetImage,  // text the path, number and secondNumber the width and height
  Close,
  Redraw,
  Hide,  // off the screen until the next redraw
  // Helper to installer.
  Shown,      // the window is made, to be shown at its first redraw; the first message
  NoDisplay,  // no display could be opened; the first and last message
  Pressed,    // the user pressed the button
  WillClose,  // the window is closing (the user, the window manager, or a Close)
};

struct WindowMessage {
  WindowMessageKind kind;
  double number = 0;
  double secondNumber = 0;
  std::string text;
};

// Sends `message` whole on the socket `fd`; a peer that has gone is left to its hang-up.
void sendWindowMessage(int fd, const WindowMessage& message);

// Gathers bytes as they arrive and hands out the messages they complete.
class WindowMessageReader {
 public:
  // Reads what has arrived on `fd`; false once the peer has hung up.
  bool readFrom(int fd);
  // The next complete message, taken out; nothing until one has fully arrived.
  std::optional<WindowMessage> next();

 private:
  std::string buffer_;
};

}  // namespace download_app
