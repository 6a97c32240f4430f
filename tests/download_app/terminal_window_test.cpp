#include "download_app/terminal_window.h"

#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

namespace {

using Window = std::unique_ptr<download_app::DownloadWindow>;

// Both ends of a pipe; the window writes into `writeEnd`.
struct Pipe {
  Pipe() {
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_NONBLOCK), 0);
    readEnd = fds[0];
    writeEnd = fds[1];
  }
  ~Pipe() {
    close(readEnd);
    close(writeEnd);
  }
  int readEnd = -1;
  int writeEnd = -1;
};

// A pseudo terminal in raw mode, so that the bytes read are the bytes written.
struct PseudoTerminal {
  PseudoTerminal() {
    struct winsize size {};
    size.ws_col = 100;
    size.ws_row = 24;
    EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, &size), 0);
    struct termios mode;
    tcgetattr(slave, &mode);
    cfmakeraw(&mode);
    tcsetattr(slave, TCSANOW, &mode);
  }
  ~PseudoTerminal() {
    close(master);
    close(slave);
  }
  int master = -1;
  int slave = -1;
};

// Everything that can be read from `fd` within `waitMs`.
std::string drain(int fd, int waitMs = 50) {
  std::string bytes;
  char buffer[4096];
  struct pollfd p = {fd, POLLIN, 0};
  while (poll(&p, 1, waitMs) > 0) {
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n <= 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  return bytes;
}

// A bar of `value` bytes of `maximum`.
download_app::Progress bytes(double value, double maximum) { return {value, maximum, false, true}; }

TEST(TerminalWindow, WithoutATerminalWritesOnlyFailuresAsPlainLines) {
  Pipe out;
  Window window = download_app::makeTerminalWindow(out.writeEnd, false);
  EXPECT_TRUE(window->closesAfterFailure());

  window->status({"Downloading"});
  window->progress(bytes(1024, 4096));
  EXPECT_EQ(drain(out.readEnd), "");

  window->failure({"Download failed with error code 401"});
  // Showing the same failure again draws nothing more.
  window->progress(bytes(4096, 4096));
  EXPECT_EQ(drain(out.readEnd), "Download failed with error code 401\n");

  window->failure({"Failed to unzip the installer."});
  EXPECT_EQ(drain(out.readEnd), "Failed to unzip the installer.\n");

  // A closed window draws nothing, failures included.
  window->close();
  window->failure({"Download failed: Timeout was reached"});
  EXPECT_EQ(drain(out.readEnd), "");
}

TEST(TerminalWindow, OnATerminalRedrawsOneLineWithTheBarAndTheBytes) {
  PseudoTerminal terminal;
  Window window = download_app::makeTerminalWindow(terminal.slave, true);

  window->status({"Downloading"});
  drain(terminal.master);
  window->progress(bytes(1000, 2000));
  std::string drawn = drain(terminal.master);
  EXPECT_EQ(drawn, "\r\033[KDownloading [============            ] 1.0 kB / 2.0 kB");

  window->progress(bytes(2000, 2000));
  drawn = drain(terminal.master);
  EXPECT_EQ(drawn, "\r\033[KDownloading [========================] 2.0 kB / 2.0 kB");
  EXPECT_EQ(drawn.find('\n'), std::string::npos);

  // The failure replaces the line and stands in red on a line of its own.
  window->failure({"Download failed with error code 404"});
  drawn = drain(terminal.master);
  EXPECT_EQ(drawn, "\r\033[K\033[31mDownload failed with error code 404\033[0m\n");

  window->close();
  EXPECT_EQ(drain(terminal.master), "");
}

TEST(TerminalWindow, OnATerminalHidingOrClosingErasesTheLine) {
  PseudoTerminal terminal;
  Window window = download_app::makeTerminalWindow(terminal.slave, true);
  window->status({"Initializing the installer"});
  window->progress({0, 100, true, false});  // moves at every turn of the loop
  EXPECT_NE(drain(terminal.master).find("Initializing the installer ["), std::string::npos);
  window->hide();  // off the terminal while the loop turns, until the next call that draws
  for (int turn = 0; turn < 3; ++turn) g_main_context_iteration(nullptr, TRUE);
  EXPECT_EQ(drain(terminal.master), "\r\033[K");
  window->status({"Initializing the installer"});
  EXPECT_NE(drain(terminal.master).find("Initializing the installer ["), std::string::npos);
  window->close();
  EXPECT_EQ(drain(terminal.master), "\r\033[K");
}

TEST(TerminalWindow, OnATerminalTheLineFitsTheWidth) {
  PseudoTerminal terminal;
  Window window = download_app::makeTerminalWindow(terminal.slave, true);
  window->status({std::string(300, 'x')});
  std::string drawn = drain(terminal.master);
  ASSERT_EQ(drawn.rfind("\r\033[K", 0), 0u);
  EXPECT_EQ(drawn.size() - 4, 99u);  // one column short of the terminal's 100

  // Columns are characters: the countdown's "…" is one, and never cut in two.
  std::string countdown = "Download interrupted. Retrying in 8 s\u2026";
  window->status({std::string(99 - 38, 'x') + countdown});
  drawn = drain(terminal.master);
  ASSERT_EQ(drawn.rfind("\r\033[K", 0), 0u);
  EXPECT_EQ(drawn.substr(4), std::string(99 - 38, 'x') + countdown);

  // A Chinese or Japanese character takes two columns.
  std::string wide;
  for (int i = 0; i < 60; ++i) wide += "\u4e0b";
  window->status({wide});
  EXPECT_EQ(drain(terminal.master).substr(4), wide.substr(0, 49 * 3));

  struct winsize narrow {24, 1, 0, 0};  // one column holds no line at all
  ioctl(terminal.master, TIOCSWINSZ, &narrow);
  window->status({"Downloading"});
  EXPECT_EQ(drain(terminal.master), "\r\033[K");
}

TEST(TerminalWindow, OnATerminalAnIndeterminateBarMovesWithTheLoop) {
  PseudoTerminal terminal;
  Window window = download_app::makeTerminalWindow(terminal.slave, true);
  window->status({"Downloading"});
  window->progress({3'000'000, 100, true, true});

  // Turn the loop until two different bars were drawn (bounded).
  std::string drawn;
  std::string first;
  std::string other;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (other.empty() && std::chrono::steady_clock::now() < deadline) {
    g_main_context_iteration(nullptr, TRUE);
    drawn += drain(terminal.master, 10);
    size_t end = drawn.rfind("\r\033[K");
    if (end == std::string::npos) continue;
    std::string line = drawn.substr(end);
    if (line.find(" 3.0 MB") == std::string::npos) continue;  // not complete yet
    if (first.empty()) {
      first = line;
    } else if (line != first) {
      other = line;
    }
  }
  ASSERT_FALSE(other.empty()) << "the bar did not move: " << drawn;
  EXPECT_NE(first.find("==="), std::string::npos);
  EXPECT_EQ(first.find(" / "), std::string::npos);  // no total when the length is unknown
  window->close();
}

}  // namespace
