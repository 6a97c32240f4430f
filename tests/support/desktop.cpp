#include "support/desktop.h"

#include <atspi/atspi.h>
#include <dlfcn.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/run_program.h"
#include "support/scratch_dir.h"

// Last: Xlib's macros (None, Bool, Status...) would clash with the headers above. Only its
// types are used; its functions are looked up at run time (see `xlib`).
#include <X11/Xlib.h>

namespace testsupport {
namespace {

constexpr std::chrono::milliseconds kPollInterval{100};

// Runs one tool briefly; its standard output, or nothing when it failed.
bool runTool(const std::vector<std::string>& argv, std::string* out = nullptr,
             const std::string& directory = "") {
  RunOptions options;
  options.timeout = std::chrono::seconds(20);
  options.workingDirectory = directory;
  RunResult result = runProgram(argv[0], argv, options);
  if (out != nullptr) *out = result.out;
  return result.exited && result.exitCode == 0;
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

bool named(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr && *value != '\0';
}

// The desktop of the accessibility bus, connected once. An application that has stopped
// answering (an installer whose window has closed waits for its agent without its loop) is
// given up on within a second, not after AT-SPI's usual quarter of a minute.
AtspiAccessible* atspiDesktop() {
  static AtspiAccessible* desktop = [] {
    atspi_init();
    atspi_set_timeout(1000, 1000);
    return atspi_get_desktop(0);
  }();
  return desktop;
}

// `object`, with what AT-SPI remembers of it forgotten: the next read asks the application.
// (Reading without any cache would make AT-SPI ask from inside its own event handling, where
// it waits for itself.)
AtspiAccessible* fresh(AtspiAccessible* object) {
  atspi_accessible_clear_cache(object);
  return object;
}

// Lets AT-SPI deliver what has arrived (events, replies), then waits a moment.
void pause() {
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
  std::this_thread::sleep_for(kPollInterval);
}

std::string takeString(gchar* text) {
  std::string result = text != nullptr ? text : "";
  g_free(text);
  return result;
}

// The showing frame of process `pid`, or of a process in the group it leads (the portable
// installer's window helper), if any.
Accessible shownFrame(pid_t pid) {
  Accessible desktop(static_cast<AtspiAccessible*>(g_object_ref(atspiDesktop())));
  for (const Accessible& application : desktop.children()) {
    auto owner = static_cast<pid_t>(atspi_accessible_get_process_id(application.get(), nullptr));
    if (owner != pid && getpgid(owner) != pid) continue;
    for (const Accessible& frame : application.children()) {
      if (frame.role() == "frame" && frame.hasState(ATSPI_STATE_SHOWING)) return frame;
    }
  }
  return {};
}

// The Xlib functions the helpers call. The test binaries do not link Xlib: GTK's own copy of it
// is opened by name instead, once, and stays loaded.
struct Xlib {
  decltype(&XOpenDisplay) openDisplay;
  decltype(&XCloseDisplay) closeDisplay;
  decltype(&XInternAtom) internAtom;
  decltype(&XSendEvent) sendEvent;
  decltype(&XSync) sync;
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
        find(x.sync, "XSync") && find(x.setErrorHandler, "XSetErrorHandler"))
      return x;
    return std::nullopt;
  }();
  return loaded ? &*loaded : nullptr;
}

// Set while `sendDeleteWindow` talks to the server: a window that has gone meanwhile is a
// failure of that call, not (as with Xlib's own handler) the end of the test program.
std::atomic<bool> xErrorSeen{false};
int noteXError(Display*, XErrorEvent*) {
  xErrorSeen = true;
  return 0;
}

// What a window manager's close button sends to an X client.
bool sendDeleteWindow(const std::string& windowId) {
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

// Calls `visit(x, y, red, green, blue)` for each pixel of `picture`, row by row.
template <typename Visit>
void forEachPixel(GdkPixbuf* picture, Visit visit) {
  int stride = gdk_pixbuf_get_rowstride(picture), channels = gdk_pixbuf_get_n_channels(picture);
  const guchar* pixels = gdk_pixbuf_read_pixels(picture);
  for (int y = 0; y < gdk_pixbuf_get_height(picture); ++y) {
    for (int x = 0; x < gdk_pixbuf_get_width(picture); ++x) {
      const guchar* pixel = pixels + static_cast<ptrdiff_t>(y) * stride + x * channels;
      visit(x, y, pixel[0], pixel[1], pixel[2]);
    }
  }
}

// Cuts a picture of the whole Wayland output down to what is not its black background.
bool cropToWindow(const std::string& from, const std::string& to) {
  GdkPixbuf* picture = gdk_pixbuf_new_from_file(from.c_str(), nullptr);
  if (picture == nullptr) return false;
  int left = gdk_pixbuf_get_width(picture), top = gdk_pixbuf_get_height(picture);
  int right = -1, bottom = -1;
  forEachPixel(picture, [&](int x, int y, int red, int green, int blue) {
    if (red + green + blue <= 12) return;
    left = std::min(left, x), right = std::max(right, x);
    top = std::min(top, y), bottom = std::max(bottom, y);
  });
  bool saved = false;
  if (right >= left && bottom >= top) {
    GdkPixbuf* window =
        gdk_pixbuf_new_subpixbuf(picture, left, top, right - left + 1, bottom - top + 1);
    saved = gdk_pixbuf_save(window, to.c_str(), "png", nullptr, nullptr) == TRUE;
    g_object_unref(window);
  }
  g_object_unref(picture);
  return saved;
}

}  // namespace

Desktop currentDesktop() {
  if (named("WAYLAND_DISPLAY")) return Desktop::kWayland;
  if (named("DISPLAY")) return Desktop::kX11;
  return Desktop::kNone;
}

std::string desktopName() {
  switch (currentDesktop()) {
    case Desktop::kWayland:
      return "wayland";
    case Desktop::kX11:
      return "x11";
    case Desktop::kNone:
      break;
  }
  return "none";
}

bool haveDisplay() {
  return currentDesktop() != Desktop::kNone && named("DBUS_SESSION_BUS_ADDRESS");
}

void Accessible::Unref::operator()(AtspiAccessible* object) const { g_object_unref(object); }

Accessible::Accessible(AtspiAccessible* adopted) {
  if (adopted != nullptr) object_.reset(adopted, Unref());
}

std::string Accessible::role() const {
  return object_ ? takeString(atspi_accessible_get_role_name(fresh(get()), nullptr)) : "";
}

std::string Accessible::name() const {
  return object_ ? takeString(atspi_accessible_get_name(fresh(get()), nullptr)) : "";
}

std::string Accessible::description() const {
  return object_ ? takeString(atspi_accessible_get_description(fresh(get()), nullptr)) : "";
}

std::vector<Accessible> Accessible::children() const {
  std::vector<Accessible> found;
  if (!object_) return found;
  int count = atspi_accessible_get_child_count(fresh(get()), nullptr);
  for (int i = 0; i < count; ++i) {
    Accessible child(atspi_accessible_get_child_at_index(get(), i, nullptr));
    if (child) found.push_back(child);
  }
  return found;
}

Accessible Accessible::parent() const {
  return Accessible(object_ ? atspi_accessible_get_parent(get(), nullptr) : nullptr);
}

bool Accessible::hasState(int atspiState) const {
  if (!object_) return false;
  AtspiStateSet* states = atspi_accessible_get_state_set(fresh(get()));
  bool has = states != nullptr && atspi_state_set_contains(states, AtspiStateType(atspiState));
  if (states != nullptr) g_object_unref(states);
  return has;
}

Accessible Accessible::find(const std::string& role) const {
  for (const Accessible& child : children()) {
    if (child.role() == role) return child;
    if (Accessible below = child.find(role)) return below;
  }
  return {};
}

std::optional<DesktopWindow> DesktopWindow::find(pid_t pid, std::chrono::milliseconds timeout) {
  std::optional<DesktopWindow> window;
  waitFor(
      [&] {
        if (Accessible frame = shownFrame(pid))
          window = DesktopWindow(
              static_cast<pid_t>(atspi_accessible_get_process_id(frame.get(), nullptr)), frame);
        return window.has_value();
      },
      timeout);
  return window;
}

bool DesktopWindow::waitFor(const std::function<bool()>& check, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!check()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    pause();
  }
  return true;
}

std::string DesktopWindow::title() const { return frame_.name(); }

Accessible DesktopWindow::content() const { return frame_.find("progress bar").parent(); }

Accessible DesktopWindow::status() const { return content().find("label"); }

Accessible DesktopWindow::bar() const { return frame_.find("progress bar"); }

Accessible DesktopWindow::button() const { return content().find("push button"); }

BarValue DesktopWindow::barValue() const {
  BarValue read;
  Accessible shown = bar();
  AtspiValue* value = shown ? atspi_accessible_get_value_iface(shown.get()) : nullptr;
  if (value == nullptr) return read;
  read.value = atspi_value_get_current_value(value, nullptr);
  read.maximum = atspi_value_get_maximum_value(value, nullptr);
  g_object_unref(value);
  return read;
}

namespace {

// Runs the action "click" of `button`.
bool click(const Accessible& button) {
  AtspiAction* action = button ? atspi_accessible_get_action_iface(button.get()) : nullptr;
  if (action == nullptr) return false;
  bool clicked = false;
  int count = atspi_action_get_n_actions(action, nullptr);
  for (int i = 0; i < count && !clicked; ++i) {
    if (takeString(atspi_action_get_action_name(action, i, nullptr)) == "click")
      clicked = atspi_action_do_action(action, i, nullptr) == TRUE;
  }
  g_object_unref(action);
  return clicked;
}

// Every push button below `object`.
void collectButtons(const Accessible& object, std::vector<Accessible>* buttons) {
  for (const Accessible& child : object.children()) {
    if (child.role() == "push button") buttons->push_back(child);
    collectButtons(child, buttons);
  }
}

}  // namespace

bool DesktopWindow::pressButton() const { return click(button()); }

bool DesktopWindow::requestClose() const {
  if (currentDesktop() == Desktop::kX11) {
    std::string id = x11Window();
    return !id.empty() && sendDeleteWindow(id);
  }
  // The window draws its own title bar on Wayland: its one button outside the content.
  std::vector<Accessible> buttons;
  collectButtons(frame_, &buttons);
  Accessible inside = button();
  for (const Accessible& candidate : buttons) {
    if (candidate.get() != inside.get() && candidate.parent().get() != content().get())
      return click(candidate);
  }
  return false;
}

bool DesktopWindow::destroy() const {
  std::string id = x11Window();
  return !id.empty() && runTool({"xdotool", "windowclose", id});
}

bool DesktopWindow::waitGone(std::chrono::milliseconds timeout) const {
  return waitFor([this] { return !shownFrame(pid_); }, timeout);
}

std::string DesktopWindow::x11Window() const {
  std::string out;
  if (currentDesktop() != Desktop::kX11 || !runTool({"xdotool", "search", "--all", "--onlyvisible",
                                                     "--pid", std::to_string(pid_), "--class", "."},
                                                    &out))
    return "";
  return firstLine(out);
}

std::string DesktopWindow::screenshot(const std::string& step) const {
  std::string directory = std::string(INSTALLER_BUILD_DIR) + "/screenshots";
  mkdir(directory.c_str(), 0755);
  std::string path = directory + "/" + currentTestName() + (step.empty() ? "" : "-" + step) + "-" +
                     desktopName() + ".png";
  if (currentDesktop() == Desktop::kX11) {
    std::string id = x11Window();
    return !id.empty() && runTool({"import", "-window", id, path}) ? path : "";
  }
  ScratchDir shots;
  if (!runTool({"weston-screenshooter"}, nullptr, shots.path())) return "";
  std::vector<std::string> taken = listDir(shots.path());
  return taken.size() == 1 && cropToWindow(shots.path() + "/" + taken[0], path) ? path : "";
}

bool isSplashGreen(int red, int green, int blue) {
  return std::abs(red - 30) <= 16 && std::abs(green - 200) <= 16 && std::abs(blue - 60) <= 16;
}

bool isStatusRed(int red, int green, int blue) {
  return red >= 150 && red - std::max(green, blue) >= 80;
}

long countPixels(const std::string& path, const PixelTest& test) {
  GdkPixbuf* picture = gdk_pixbuf_new_from_file(path.c_str(), nullptr);
  if (picture == nullptr) return -1;
  long count = 0;
  forEachPixel(picture, [&](int, int, int red, int green, int blue) {
    if (test(red, green, blue)) ++count;
  });
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

long waitForPixels(const DesktopWindow& window, const PixelTest& test, long minimum,
                   std::chrono::milliseconds timeout, const std::string& step) {
  long count = -1;
  DesktopWindow::waitFor(
      [&] {
        std::string path = window.screenshot(step);
        if (!path.empty()) count = countPixels(path, test);
        return count >= minimum;
      },
      timeout);
  return count;
}

}  // namespace testsupport
