#include "support/desktop.h"

#include <dlfcn.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/run_program.h"

// Last: Xlib's macros (None, Bool, Status...) would clash with the headers above. Only its
// types are used; its functions are looked up at run time (see `xlib`).
#include <X11/Xlib.h>

namespace testsupport {
namespace {

constexpr std::chrono::milliseconds kPollInterval{100};

// Runs one X tool briefly; its standard output, or nothing when it failed.
bool runTool(const std::vector<std::string>& argv, std::string* out = nullptr) {
  RunOptions options;
  options.timeout = std::chrono::seconds(20);
  RunResult result = runProgram(argv[0], argv, options);
  if (out != nullptr) *out = result.out;
  return result.exited && result.exitCode == 0;
}

std::string escapeRegex(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) escaped += '\\';
    escaped += c;
  }
  return escaped;
}

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

std::string currentTestName() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info == nullptr ? std::string("outside-a-test")
                                     : std::string(info->test_suite_name()) + "." + info->name();
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return name;
}

}  // namespace

bool haveDisplay() {
  const char* display = std::getenv("DISPLAY");
  return display != nullptr && *display != '\0';
}

std::string findWindow(pid_t pid, const std::string& title, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    std::string out;
    if (runTool({"xdotool", "search", "--all", "--onlyvisible", "--pid", std::to_string(pid),
                 "--name", "^" + escapeRegex(title) + "$"},
                &out) &&
        !firstLine(out).empty()) {
      return firstLine(out);
    }
    if (std::chrono::steady_clock::now() >= deadline) return "";
    std::this_thread::sleep_for(kPollInterval);
  }
}

bool waitForWindowGone(pid_t pid, const std::string& title, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    std::string out;
    runTool({"xdotool", "search", "--all", "--onlyvisible", "--pid", std::to_string(pid), "--name",
             "^" + escapeRegex(title) + "$"},
            &out);
    if (firstLine(out).empty()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
}

std::string windowTitle(const std::string& windowId) {
  std::string out;
  if (!runTool({"xdotool", "getwindowname", windowId}, &out)) return "";
  return firstLine(out);
}

bool pressReturn(const std::string& windowId) {
  return runTool({"xdotool", "windowfocus", "--sync", windowId}) &&
         runTool({"xdotool", "key", "--clearmodifiers", "Return"});
}

namespace {

// The Xlib functions the helpers call. The test binaries do not link Xlib: GTK's own copy of it
// is opened by name instead, once, and stays loaded.
struct Xlib {
  decltype(&XOpenDisplay) openDisplay;
  decltype(&XCloseDisplay) closeDisplay;
  decltype(&XInternAtom) internAtom;
  decltype(&XSendEvent) sendEvent;
  decltype(&XSelectInput) selectInput;
  decltype(&XSync) sync;
  decltype(&XPending) pending;
  decltype(&XNextEvent) nextEvent;
  decltype(&XSetErrorHandler) setErrorHandler;
};

// Nothing when the library or one of its functions cannot be found.
const Xlib* xlib() {
  static const std::optional<Xlib> loaded = []() -> std::optional<Xlib> {
    void* library = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return std::nullopt;
    auto find = [library]<typename F>(F& function, const char* name) {
      function = reinterpret_cast<F>(dlsym(library, name));
      return function != nullptr;
    };
    Xlib x{};
    if (find(x.openDisplay, "XOpenDisplay") && find(x.closeDisplay, "XCloseDisplay") &&
        find(x.internAtom, "XInternAtom") && find(x.sendEvent, "XSendEvent") &&
        find(x.selectInput, "XSelectInput") && find(x.sync, "XSync") &&
        find(x.pending, "XPending") && find(x.nextEvent, "XNextEvent") &&
        find(x.setErrorHandler, "XSetErrorHandler"))
      return x;
    return std::nullopt;
  }();
  return loaded ? &*loaded : nullptr;
}

// Set while `requestClose` talks to the server: a window that has gone meanwhile is a
// failure of that call, not (as with Xlib's own handler) the end of the test program.
std::atomic<bool> xErrorSeen{false};
int noteXError(Display*, XErrorEvent*) {
  xErrorSeen = true;
  return 0;
}

}  // namespace

bool requestClose(const std::string& windowId) {
  const Xlib* x = xlib();
  Display* display = x != nullptr ? x->openDisplay(nullptr) : nullptr;
  if (display == nullptr) return false;
  xErrorSeen = false;
  XErrorHandler previous = x->setErrorHandler(noteXError);
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = std::stoul(windowId);
  event.xclient.message_type = x->internAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(x->internAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  bool sent = x->sendEvent(display, event.xclient.window, False, NoEventMask, &event) != 0;
  x->sync(display, False);
  sent = sent && !xErrorSeen;
  x->closeDisplay(display);
  x->setErrorHandler(previous);
  return sent;
}

MappedWindows::MappedWindows() {
  const Xlib* x = xlib();
  display_ = x != nullptr ? x->openDisplay(nullptr) : nullptr;
  if (display_ == nullptr) return;
  // Every window put on the screen is a child of the root: its mapping is news to the root's
  // substructure, whichever client made it.
  x->selectInput(display_, DefaultRootWindow(display_), SubstructureNotifyMask);
  x->sync(display_, False);
}

MappedWindows::~MappedWindows() {
  if (display_ != nullptr) xlib()->closeDisplay(display_);
}

int MappedWindows::count() {
  if (display_ == nullptr) return -1;
  const Xlib* x = xlib();
  // After the round trip every mapping the server made before it is in the queue.
  x->sync(display_, False);
  while (x->pending(display_) > 0) {
    XEvent event;
    x->nextEvent(display_, &event);
    if (event.type == MapNotify) ++mapped_;
  }
  return mapped_;
}

bool destroyWindow(const std::string& windowId) {
  return runTool({"xdotool", "windowclose", windowId});
}

std::string screenshot(const std::string& windowId, const std::string& step) {
  std::string directory = std::string(INSTALLER_BUILD_DIR) + "/screenshots";
  mkdir(directory.c_str(), 0755);
  std::string path =
      directory + "/" + currentTestName() + (step.empty() ? "" : "-" + step) + ".png";
  if (!runTool({"import", "-window", windowId, path})) return "";
  return path;
}

bool isSplashGreen(int red, int green, int blue) {
  return std::abs(red - 30) <= 16 && std::abs(green - 200) <= 16 && std::abs(blue - 60) <= 16;
}

bool isStatusRed(int red, int green, int blue) { return red >= 150 && green <= 90 && blue <= 90; }

long countPixels(const std::string& path, const PixelTest& test) {
  GError* error = nullptr;
  GdkPixbuf* picture = gdk_pixbuf_new_from_file(path.c_str(), &error);
  if (picture == nullptr) {
    g_clear_error(&error);
    return -1;
  }
  int width = gdk_pixbuf_get_width(picture);
  int height = gdk_pixbuf_get_height(picture);
  int stride = gdk_pixbuf_get_rowstride(picture);
  int channels = gdk_pixbuf_get_n_channels(picture);
  const guchar* pixels = gdk_pixbuf_read_pixels(picture);
  long count = 0;
  for (int y = 0; y < height; ++y) {
    const guchar* row = pixels + static_cast<ptrdiff_t>(y) * stride;
    for (int x = 0; x < width; ++x) {
      const guchar* pixel = row + x * channels;
      if (test(pixel[0], pixel[1], pixel[2])) ++count;
    }
  }
  g_object_unref(picture);
  return count;
}

bool writeSplashPng(const std::string& path, int width, int height) {
  GdkPixbuf* picture = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
  if (picture == nullptr) return false;
  gdk_pixbuf_fill(picture, 0x1ec83cffu);  // red 30, green 200, blue 60
  GError* error = nullptr;
  bool saved = gdk_pixbuf_save(picture, path.c_str(), "png", &error, nullptr) == TRUE;
  g_clear_error(&error);
  g_object_unref(picture);
  return saved;
}

long waitForPixels(const std::string& windowId, const PixelTest& test, long minimum,
                   std::chrono::milliseconds timeout, const std::string& step) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  long count = -1;
  while (true) {
    std::string path = screenshot(windowId, step);
    if (!path.empty()) count = countPixels(path, test);
    if (count >= minimum || std::chrono::steady_clock::now() >= deadline) return count;
    std::this_thread::sleep_for(kPollInterval);
  }
}

}  // namespace testsupport
