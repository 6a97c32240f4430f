#include "download_app/gtk_window.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "download_app/gtk_display.h"
#include "download_app/translation.h"
#include "host/loop_timer.h"

// Made by glib-compile-resources from download_window.gresource.xml (see CMakeLists.txt).
extern "C" void installer_download_window_register_resource(void);

namespace download_app {
namespace {

constexpr const char kInterfaceResource[] = "/installer/download/download_window.ui";
constexpr const char kFailedStyleClass[] = "failed";
// The failure text's colour where the theme names no error colour.
constexpr const char kFallbackFailureColour[] = "#d00000";
// WCAG AA asks 4.5:1 of normal text against its background; a little more, so that the colour
// still reaches it once drawn in 8-bit channels.
constexpr double kReadableContrast = 4.6;
constexpr unsigned kPulseIntervalMs = 100;
constexpr int64_t kLargestSplashPixels = 4096 * 4096;  // 64 MB decoded
// What the window needs below and around its splash, in points: the status, the bar, the button,
// their margins and a title bar drawn by the window itself (on Wayland).
constexpr int kRoomForTheRest = 200;

// Owns one reference to a GObject.
struct ObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using ObjectRef = std::unique_ptr<T, ObjectUnref>;

// A reference of its own to `object`.
template <typename T>
ObjectRef<T> retain(T* object) {
  return ObjectRef<T>(static_cast<T*>(g_object_ref(object)));
}

// The bar as the window's calls leave it. GTK's bar only knows a fraction; while bytes are being
// counted, the bar shows them.
class GtkProgress {
 public:
  explicit GtkProgress(GtkProgressBar* bar) : bar_(retain(bar)) { show({}); }

  void show(const Progress& progress) {
    GtkProgressBar* bar = bar_.get();
    if (!progress.indeterminate) {
      pulse_.stop();
      double fraction = progress.maximum > 0 ? progress.value / progress.maximum : 0.0;
      gtk_progress_bar_set_fraction(bar,
                                    std::isfinite(fraction) ? std::clamp(fraction, 0.0, 1.0) : 0.0);
    } else if (!pulse_.running()) {
      pulse_.start(kPulseIntervalMs, onPulse, this);
      gtk_progress_bar_pulse(bar);
    }
    std::string text;
    if (progress.countsBytes) {
      std::string value = formatByteCount(static_cast<int64_t>(progress.value));
      text = progress.indeterminate
                 ? value
                 : formatText(translate("%s of %s"), value.c_str(),
                              formatByteCount(static_cast<int64_t>(progress.maximum)).c_str());
      gtk_progress_bar_set_text(bar, text.c_str());
    }
    gtk_progress_bar_set_show_text(bar, progress.countsBytes);
    // A screen reader reads the bar's fraction; the bytes it shows go with it as its
    // description.
    AtkObject* accessible = gtk_widget_get_accessible(GTK_WIDGET(bar));
    const char* described = atk_object_get_description(accessible);
    if (text != (described != nullptr ? described : ""))
      atk_object_set_description(accessible, text.c_str());
  }

 private:
  static gboolean onPulse(gpointer self) {
    gtk_progress_bar_pulse(static_cast<GtkProgress*>(self)->bar_.get());
    return G_SOURCE_CONTINUE;
  }

  ObjectRef<GtkProgressBar> bar_;
  host::LoopTimer pulse_;
};

// WCAG's relative luminance of a colour.
double luminance(const GdkRGBA& colour) {
  auto linear = [](double channel) {
    return channel <= 0.03928 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
  };
  return 0.2126 * linear(colour.red) + 0.7152 * linear(colour.green) + 0.0722 * linear(colour.blue);
}

double contrast(const GdkRGBA& one, const GdkRGBA& other) {
  auto [darker, lighter] = std::minmax({luminance(one), luminance(other)});
  return (lighter + 0.05) / (darker + 0.05);
}

// The theme's error colour (or our red), made lighter on a dark background and darker on a
// light one until it is readable there: Adwaita's dark variant, for one, keeps the light
// variant's red, which is too dark on its grey.
GdkRGBA readableFailureColour(GtkStyleContext* style) {
  GdkRGBA colour, background;
  if (!gtk_style_context_lookup_color(style, "error_color", &colour))
    gdk_rgba_parse(&colour, kFallbackFailureColour);
  if (!gtk_style_context_lookup_color(style, "theme_bg_color", &background)) return colour;
  double toward = luminance(background) < 0.18 ? 1.0 : 0.0;  // white or black
  GdkRGBA mixed = colour;
  for (double share = 0.05; contrast(mixed, background) < kReadableContrast && share <= 1.0;
       share += 0.05) {
    mixed.red = colour.red + (toward - colour.red) * share;
    mixed.green = colour.green + (toward - colour.green) * share;
    mixed.blue = colour.blue + (toward - colour.blue) * share;
  }
  return mixed;
}

class GtkStatus {
 public:
  explicit GtkStatus(GtkLabel* label)
      : label_(retain(label)), failureStyle_(gtk_css_provider_new()) {
    gtk_style_context_add_provider(style(), GTK_STYLE_PROVIDER(failureStyle_.get()),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    // A change of theme (to a dark one, say) asks for the colour again.
    g_signal_connect(label, "style-updated", G_CALLBACK(onStyleUpdated), this);
    updateFailureColour();
  }
  ~GtkStatus() { g_signal_handlers_disconnect_by_data(label_.get(), this); }

  // Plain text, never markup; bytes that are not UTF-8 are shown as replacement characters. A
  // screen reader hears each change: the same text is not set again.
  void show(const std::string& text, bool failed) {
    gchar* valid = g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
    if (g_strcmp0(gtk_label_get_text(label_.get()), valid) != 0)
      gtk_label_set_text(label_.get(), valid);
    g_free(valid);
    if (failed) {
      gtk_style_context_add_class(style(), kFailedStyleClass);
    } else {
      gtk_style_context_remove_class(style(), kFailedStyleClass);
    }
    // A failure's cause may lie past the end of the one line (a long path, a TLS error): the
    // whole text shows when the pointer rests on it. Without a pointer (a compositor without a
    // seat) nothing can rest on it, and GTK complains.
    GtkWidget* widget = GTK_WIDGET(label_.get());
    GdkSeat* seat = gdk_display_get_default_seat(gtk_widget_get_display(widget));
    if (seat != nullptr && (gdk_seat_get_capabilities(seat) & GDK_SEAT_CAPABILITY_POINTER) != 0)
      gtk_widget_set_tooltip_text(widget, failed ? gtk_label_get_text(label_.get()) : nullptr);
  }

 private:
  GtkStyleContext* style() const { return gtk_widget_get_style_context(GTK_WIDGET(label_.get())); }

  static void onStyleUpdated(GtkWidget*, gpointer self) {
    static_cast<GtkStatus*>(self)->updateFailureColour();
  }

  // Loading the style updates it again: only a new colour is loaded.
  void updateFailureColour() {
    GdkRGBA colour = readableFailureColour(style());
    gchar* name = gdk_rgba_to_string(&colour);
    std::string css = std::string("label.") + kFailedStyleClass + " { color: " + name + "; }";
    g_free(name);
    if (css == failureCss_) return;
    failureCss_ = css;
    gtk_css_provider_load_from_data(failureStyle_.get(), css.c_str(), -1, nullptr);
  }

  ObjectRef<GtkLabel> label_;
  ObjectRef<GtkCssProvider> failureStyle_;
  std::string failureCss_;
};

class GtkSplash {
 public:
  explicit GtkSplash(GtkImage* image) : image_(retain(image)) {
    // The window learns its scale from the monitor it lands on, on Wayland after it is shown.
    g_signal_connect(image, "notify::scale-factor", G_CALLBACK(onScaleChanged), this);
  }
  ~GtkSplash() { g_signal_handlers_disconnect_by_data(image_.get(), this); }

  // Loads the file fitted into the image's size in points times the display's scale (800 pixels
  // for 400 points at scale 2). A file that cannot be read leaves the view as it was.
  void setImage(const Image& image) {
    shown_ = image;
    GtkWidget* widget = GTK_WIDGET(image_.get());
    int scale = std::max(1, gtk_widget_get_scale_factor(widget));
    // On a small screen, or at a large scale, a smaller splash keeps the button on the screen.
    double room = roomOnScreen(widget);
    if (room < 1) return;
    auto pixels = [scale, room](double points) {
      return points > 0 ? std::max(1, static_cast<int>(std::lround(std::min(points, room) * scale)))
                        : -1;
    };
    // Only a regular file: opening a named pipe would hold the window's thread. And the loader
    // decodes a PNG whole before it scales: a splash too large for that is not shown.
    int width = 0, height = 0;
    std::error_code error;
    if (!std::filesystem::is_regular_file(image.path, error) ||
        !gdk_pixbuf_get_file_info(image.path.c_str(), &width, &height) ||
        int64_t{width} * height > kLargestSplashPixels)
      return;
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file_at_scale(image.path.c_str(), pixels(image.width),
                                                          pixels(image.height), TRUE, nullptr);
    if (pixbuf == nullptr) return;
    cairo_surface_t* surface =
        gdk_cairo_surface_create_from_pixbuf(pixbuf, scale, gtk_widget_get_window(widget));
    gtk_image_set_from_surface(image_.get(), surface);
    cairo_surface_destroy(surface);
    g_object_unref(pixbuf);
  }

 private:
  // The most points the splash may take on the smallest of the monitors: the one the window
  // lands on is not known before it is shown, nor asked for (GDK would ask for the pointer, which
  // needs a seat that a kiosk lacks).
  static double roomOnScreen(GtkWidget* widget) {
    GdkDisplay* display = gtk_widget_get_display(widget);
    double room = HUGE_VAL;
    for (int i = 0; i < gdk_display_get_n_monitors(display); ++i) {
      GdkRectangle area;
      gdk_monitor_get_workarea(gdk_display_get_monitor(display, i), &area);
      room = std::min<double>(room, std::min(area.width, area.height) - kRoomForTheRest);
    }
    return room;
  }

  static void onScaleChanged(GObject*, GParamSpec*, gpointer self) {
    auto* splash = static_cast<GtkSplash*>(self);
    if (splash->shown_) splash->setImage(*splash->shown_);
  }

  ObjectRef<GtkImage> image_;
  std::optional<Image> shown_;  // the last image asked for
};

class GtkDownloadWindow;
std::vector<GtkDownloadWindow*> liveWindows;  // to be told when their display goes

// The window and its controls, drawn as the run's calls say.
class GtkDownloadWindow : public DownloadWindow {
 public:
  GtkDownloadWindow(GtkBuilder* builder, const std::optional<Image>& splash, WindowEvents& events)
      : events_(events),
        window_(retain(GTK_WIDGET(gtk_builder_get_object(builder, "window")))),
        button_(retain(GTK_BUTTON(gtk_builder_get_object(builder, "button")))),
        progress_(GTK_PROGRESS_BAR(gtk_builder_get_object(builder, "progress"))),
        status_(GTK_LABEL(gtk_builder_get_object(builder, "status"))),
        splash_(GTK_IMAGE(gtk_builder_get_object(builder, "splash"))) {
    g_signal_connect(window_.get(), "delete-event", G_CALLBACK(onDeleteEvent), this);
    g_signal_connect(window_.get(), "destroy", G_CALLBACK(onDestroyed), this);
    g_signal_connect(button_.get(), "clicked", G_CALLBACK(onClicked), this);
    liveWindows.push_back(this);
    if (splash) splash_.setImage(*splash);
  }

  ~GtkDownloadWindow() override {
    std::erase(liveWindows, this);
    // The references keep the widgets, destroyed or not, until their handlers are gone.
    g_signal_handlers_disconnect_by_data(window_.get(), this);
    g_signal_handlers_disconnect_by_data(button_.get(), this);
    if (gone_) return;
    GdkDisplay* display = gtk_widget_get_display(window_.get());
    gtk_widget_destroy(window_.get());
    gdk_display_flush(display);
  }

  // Nothing reaches a window that is gone, nor a display that is.
  void progress(const Progress& bar) override {
    if (gone_) return;
    progress_.show(bar);
    show();
  }
  void status(const Status& status) override { showStatus(status, false); }
  void failure(const Status& status) override { showStatus(status, true); }
  void hide() override {
    if (gone_) return;
    gtk_widget_hide(window_.get());
    // Now: after the application loop has stopped nothing else would send it to the display.
    gdk_display_flush(gtk_widget_get_display(window_.get()));
  }
  void close() override {
    hide();
    closed_ = true;
  }

  // Its display has gone: the run ends as for a window destroyed from outside.
  void displayLost() {
    if (std::exchange(gone_, true)) return;
    events_.closed();
  }

 private:
  void showStatus(const Status& status, bool failed) {
    if (gone_) return;
    status_.show(status.text, failed);
    gtk_button_set_label(button_.get(), status.button.c_str());
    gtk_widget_set_sensitive(GTK_WIDGET(button_.get()), status.buttonEnabled);
    show();
  }

  // The window is made hidden and shown by its first call, with its splash: a window shown
  // without it would grow, on a compositor that has placed it by its first size.
  void show() {
    if (closed_ || gtk_widget_get_visible(window_.get())) return;
    gtk_widget_show(window_.get());
    toleratePeerDestruction(window_.get());
  }

  // The title-bar button or the window manager asks to close: close as the button does, and
  // keep GTK from destroying the window underneath its controls.
  static gboolean onDeleteEvent(GtkWidget*, GdkEvent*, gpointer self) {
    static_cast<GtkDownloadWindow*>(self)->events_.closed();
    return TRUE;
  }

  // Someone outside destroyed the window (a client killing it with XDestroyWindow): the run
  // must still end as for a closed window.
  static void onDestroyed(GtkWidget*, gpointer self) {
    static_cast<GtkDownloadWindow*>(self)->displayLost();
  }

  static void onClicked(GtkButton*, gpointer self) {
    static_cast<GtkDownloadWindow*>(self)->events_.pressed();
  }

  WindowEvents& events_;
  ObjectRef<GtkWidget> window_;
  ObjectRef<GtkButton> button_;
  GtkProgress progress_;
  GtkStatus status_;
  GtkSplash splash_;
  bool closed_ = false;
  bool gone_ = false;  // GTK has destroyed the window, or its display has gone
};

// Whether the session bus the toolkit would use answers within a second: GTK's accessibility
// bridge waits for its answers without a time limit, so a bus that takes connections and never
// answers would hold the window, and the download waiting on it, for good. Only a bus named in
// the environment or the runtime directory is asked: finding one otherwise may start one.
bool sessionBusAnswers() {
  std::string runtimeBus = std::string(g_get_user_runtime_dir()) + "/bus";
  if (!g_getenv("DBUS_SESSION_BUS_ADDRESS") && !g_file_test(runtimeBus.c_str(), G_FILE_TEST_EXISTS))
    return true;
  auto answer = std::make_shared<std::promise<bool>>();
  std::future<bool> answered = answer->get_future();
  // Left waiting for a bus that never answers. Without a thread to ask on (a process limit),
  // the bridge, which would need threads of its own, stays out.
  try {
    std::thread([answer] {
      gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
      GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
          address ? address : "",
          static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                            G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
          nullptr, nullptr, nullptr);
      answer->set_value(bus != nullptr);
      g_free(address);
      if (bus) g_object_unref(bus);
    }).detach();
  } catch (const std::system_error&) {
    return false;
  }
  return answered.wait_for(std::chrono::seconds(1)) == std::future_status::ready &&
         answered.get();
}

// True when GTK could open the display. GTK is initialised, and the interface file registered,
// on the first call only.
bool openDesktopDisplay() {
  static const bool opened = [] {
    // The installer's messages and numbers stay the same with or without a desktop.
    gtk_disable_setlocale();
    // GTK's usual modifiers for shortcuts, given before it asks the keyboard for them: a
    // Wayland compositor without a seat (a kiosk, a remote session) has no keyboard to ask.
    gtk_accelerator_set_default_mod_mask(
        static_cast<GdkModifierType>(GDK_CONTROL_MASK | GDK_SHIFT_MASK | GDK_MOD1_MASK |
                                     GDK_SUPER_MASK | GDK_HYPER_MASK | GDK_META_MASK));
    // The window draws nothing with OpenGL, and GDK's probe loads the GL driver (a software one
    // is 50 MB of libraries). GDK reads GDK_GL once, here; a user's value is kept, and ours is
    // gone before the agent could inherit it (GTK has started no thread yet).
    bool disableGl = g_getenv("GDK_GL") == nullptr;
    if (disableGl) g_setenv("GDK_GL", "disable", TRUE);
    // Likewise the accessibility bridge, which GTK loads here, on a bus that does not answer.
    bool noBridge = g_getenv("NO_AT_BRIDGE") == nullptr && !sessionBusAnswers();
    if (noBridge) g_setenv("NO_AT_BRIDGE", "1", TRUE);
    bool initialised = gtk_init_check(nullptr, nullptr) == TRUE;
    if (disableGl) g_unsetenv("GDK_GL");
    if (noBridge) g_unsetenv("NO_AT_BRIDGE");
    if (!initialised) return false;
    installer_download_window_register_resource();
    // A display that goes takes every window with it: the run ends as for a destroyed one.
    watchDisplay(gdk_display_get_default(), [] {
      for (GtkDownloadWindow* window : std::vector(liveWindows)) window->displayLost();
    });
    return true;
  }();
  return opened;
}

}  // namespace

std::unique_ptr<DownloadWindow> makeGtkWindow(const std::optional<Image>& splash,
                                              WindowEvents& events) {
  if (!openDesktopDisplay()) return nullptr;
  ObjectRef<GtkBuilder> builder(gtk_builder_new());
  if (gtk_builder_add_from_resource(builder.get(), kInterfaceResource, nullptr) == 0)
    return nullptr;
  // The interface file is compiled in: every control it names is there.
  GtkWindow* window = GTK_WINDOW(gtk_builder_get_object(builder.get(), "window"));
  gtk_window_set_title(window, translate(kDownloadWindowTitle));
  atk_object_set_name(
      gtk_widget_get_accessible(GTK_WIDGET(gtk_builder_get_object(builder.get(), "progress"))),
      translate("Download progress"));
  // GTK centres a window on the pointer's monitor; without a seat there is no pointer.
  if (gdk_display_get_default_seat(gtk_widget_get_display(GTK_WIDGET(window))) == nullptr)
    gtk_window_set_position(window, GTK_WIN_POS_NONE);

  return std::make_unique<GtkDownloadWindow>(builder.get(), splash, events);
}

}  // namespace download_app
