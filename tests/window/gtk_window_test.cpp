// The desktop window, driven through its calls in this process on a real display, and inspected
// through GTK itself. Skipped without DISPLAY (CI runs this binary under xvfb-run).
#include "download_app/gtk_window.h"

#include <gtk/gtk.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/desktop.h"
#include "support/scratch_dir.h"

// Last: Xlib's macros (None, Bool...) would clash with the headers above.
#include <gdk/gdkx.h>
#undef Status  // Xlib's, not the window's

namespace download_app {
namespace {

using testsupport::ScratchDir;

constexpr double kSplashSide = 400;  // as the download fits its splash

// Runs whatever GTK has queued: realizing, drawing, idle closes.
void pumpEvents() {
  for (int i = 0; i < 3; ++i) {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// The toplevel windows GTK holds that carry the download window's title.
std::vector<GtkWindow*> downloadWindows() {
  std::vector<GtkWindow*> found;
  GList* toplevels = gtk_window_list_toplevels();
  for (GList* item = toplevels; item != nullptr; item = item->next) {
    GtkWindow* window = GTK_WINDOW(item->data);
    const char* title = gtk_window_get_title(window);
    if (title != nullptr && std::string(title) == kDownloadWindowTitle) found.push_back(window);
  }
  g_list_free(toplevels);
  return found;
}

GtkWidget* findNamed(GtkWidget* widget, const std::string& name) {
  const char* own = gtk_buildable_get_name(GTK_BUILDABLE(widget));
  if (own != nullptr && name == own) return widget;
  GtkWidget* found = nullptr;
  if (GTK_IS_CONTAINER(widget)) {
    GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
    for (GList* child = children; child != nullptr && found == nullptr; child = child->next) {
      found = findNamed(GTK_WIDGET(child->data), name);
    }
    g_list_free(children);
  }
  return found;
}

// The control with the interface file's id `name` in the download window, if it has `type`.
template <typename T>
T* control(const char* name, GType type) {
  std::vector<GtkWindow*> windows = downloadWindows();
  if (windows.size() != 1) return nullptr;
  GtkWidget* widget = findNamed(GTK_WIDGET(windows[0]), name);
  if (widget == nullptr || !G_TYPE_CHECK_INSTANCE_TYPE(widget, type)) return nullptr;
  return reinterpret_cast<T*>(widget);
}

GtkImage* splashImage() { return control<GtkImage>("splash", GTK_TYPE_IMAGE); }
GtkProgressBar* progressBar() { return control<GtkProgressBar>("progress", GTK_TYPE_PROGRESS_BAR); }
GtkLabel* statusLabel() { return control<GtkLabel>("status", GTK_TYPE_LABEL); }
GtkButton* button() { return control<GtkButton>("button", GTK_TYPE_BUTTON); }

// Counts the window's events.
struct CountingEvents : WindowEvents {
  void pressed() override { ++presses; }
  void closed() override { ++closes; }
  void lost(const WindowStatus&) override {}
  int presses = 0;
  int closes = 0;
};

class GtkWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::haveDisplay()) GTEST_SKIP() << "no DISPLAY: the desktop window needs one";
    window = makeGtkWindow(std::nullopt, events);
    ASSERT_TRUE(window);
    // On the screen only from its first call that draws.
    EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(downloadWindows().at(0))));
    window->status(kDownloading);
    pumpEvents();
  }
  void TearDown() override {
    window.reset();
    pumpEvents();
  }

  const Status kDownloading{"Downloading", "Cancel", true};
  CountingEvents events;
  std::unique_ptr<DownloadWindow> window;
};

TEST_F(GtkWindowTest, BuildsOneTitledWindowWithEveryControl) {
  std::vector<GtkWindow*> windows = downloadWindows();
  ASSERT_EQ(windows.size(), 1u);
  EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(windows[0])));
  EXPECT_FALSE(window->closesAfterFailure());
  EXPECT_NE(splashImage(), nullptr);
  EXPECT_NE(progressBar(), nullptr);
  ASSERT_NE(statusLabel(), nullptr);
  EXPECT_TRUE(gtk_label_get_single_line_mode(statusLabel()));
  ASSERT_NE(button(), nullptr);
  EXPECT_STREQ(gtk_button_get_label(button()), "Cancel");
}

TEST_F(GtkWindowTest, ButtonTakesTitleStateReturnAndAction) {
  GtkButton* button = download_app::button();
  ASSERT_NE(button, nullptr);
  EXPECT_TRUE(gtk_widget_has_default(GTK_WIDGET(button)));
  // Return in the window activates its default widget; GTK shows the press for a moment
  // before the click.
  EXPECT_TRUE(gtk_window_activate_default(downloadWindows().at(0)));
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (events.presses == 0 && std::chrono::steady_clock::now() < end) pumpEvents();
  EXPECT_EQ(events.presses, 1);
  gtk_button_clicked(button);
  EXPECT_EQ(events.presses, 2);

  window->status({"Verifying the installer…", "Cancel", false});
  EXPECT_FALSE(gtk_widget_get_sensitive(GTK_WIDGET(button)));
  window->failure({"Failed to verify the installer.", "Close", true});
  EXPECT_STREQ(gtk_button_get_label(button), "Close");
  EXPECT_TRUE(gtk_widget_get_sensitive(GTK_WIDGET(button)));
}

TEST_F(GtkWindowTest, StatusTextTurnsRedOnFailureAndBack) {
  GtkLabel* label = statusLabel();
  ASSERT_NE(label, nullptr);
  GtkStyleContext* style = gtk_widget_get_style_context(GTK_WIDGET(label));
  GdkRGBA standard;
  gtk_style_context_get_color(style, gtk_style_context_get_state(style), &standard);

  window->failure({"Download failed with error code 401", "Close", true});
  EXPECT_STREQ(gtk_label_get_text(label), "Download failed with error code 401");
  EXPECT_TRUE(gtk_label_get_single_line_mode(label));
  // Past the line's end too, where a pointer can rest on it (the Wayland tests have no seat).
  g_autofree gchar* whole = gtk_widget_get_tooltip_text(GTK_WIDGET(label));
  if (testsupport::currentDesktop() == testsupport::Desktop::kX11) {
    EXPECT_STREQ(whole, "Download failed with error code 401");
  }
  GdkRGBA red;
  gtk_style_context_get_color(style, gtk_style_context_get_state(style), &red);
  EXPECT_GT(red.red, 0.6);
  EXPECT_LT(red.green, 0.2);
  EXPECT_LT(red.blue, 0.2);

  window->status(kDownloading);
  EXPECT_EQ(gtk_widget_get_tooltip_text(GTK_WIDGET(label)), nullptr);
  GdkRGBA back;
  gtk_style_context_get_color(style, gtk_style_context_get_state(style), &back);
  EXPECT_TRUE(gdk_rgba_equal(&back, &standard));
}

TEST_F(GtkWindowTest, StatusTextIsPlainTextAndSurvivesBadBytes) {
  GtkLabel* label = statusLabel();
  ASSERT_NE(label, nullptr);
  window->status({"<b>Downloading</b> & more", "Cancel", true});
  EXPECT_STREQ(gtk_label_get_text(label), "<b>Downloading</b> & more");
  window->status({std::string("bad \xff\xfe bytes"), "Cancel", true});
  std::string shown = gtk_label_get_text(label);
  EXPECT_TRUE(g_utf8_validate(shown.c_str(), -1, nullptr));
  EXPECT_EQ(shown.rfind("bad ", 0), 0u);
  EXPECT_NE(shown.find(" bytes"), std::string::npos);
}

TEST_F(GtkWindowTest, ProgressBarCountsBytesAndShowsThem) {
  GtkProgressBar* bar = progressBar();
  ASSERT_NE(bar, nullptr);
  EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(bar), 0.0);
  EXPECT_FALSE(gtk_progress_bar_get_show_text(bar));

  // The bytes of the archive's length.
  window->progress({3000, 4000, false, true});
  EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(bar), 0.75);
  EXPECT_TRUE(gtk_progress_bar_get_show_text(bar));
  // As the terminal window counts them.
  EXPECT_STREQ(gtk_progress_bar_get_text(bar), "3.0 kB of 4.0 kB");

  // More bytes than announced keep the bar full, never beyond.
  window->progress({8000, 4000, false, true});
  EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(bar), 1.0);

  // The failure display: determinate, full, and no byte count left over.
  window->progress({4000, 4000, false, false});
  EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(bar), 1.0);
  EXPECT_FALSE(gtk_progress_bar_get_show_text(bar));
}

TEST_F(GtkWindowTest, IndeterminateBarCountsWithoutALengthAndPulses) {
  GtkProgressBar* bar = progressBar();
  ASSERT_NE(bar, nullptr);
  int pulses = 0;
  // Every pulse redraws the bar; count the frames it asks for.
  auto onDraw = +[](GtkWidget*, cairo_t*, gpointer count) -> gboolean {
    ++*static_cast<int*>(count);
    return FALSE;
  };
  gulong handler = g_signal_connect(bar, "draw", G_CALLBACK(onDraw), &pulses);
  window->progress({1500, 100, true, true});
  EXPECT_STREQ(gtk_progress_bar_get_text(bar), "1.5 kB");

  auto drawsWithin = [&](std::chrono::milliseconds span) {
    pulses = 0;
    auto end = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < end) pumpEvents();
    return pulses;
  };
  EXPECT_GT(drawsWithin(std::chrono::milliseconds(600)), 1);

  window->progress({1500, 100, false, true});
  drawsWithin(std::chrono::milliseconds(200));  // the last frame of the pulse
  EXPECT_EQ(drawsWithin(std::chrono::milliseconds(400)), 0);
  g_signal_handler_disconnect(bar, handler);
}

TEST_F(GtkWindowTest, SplashIsFittedInto400PointsProportionally) {
  ScratchDir scratch;
  // A window made with the splash at `path`, shown.
  auto splashed = [&](const std::string& path) {
    window.reset();
    window = makeGtkWindow(Image{path, kSplashSide, kSplashSide}, events);
    window->status(kDownloading);
    pumpEvents();
    return splashImage();
  };
  auto shownSize = [&](GtkImage* image, int* width, int* height) {
    GtkRequisition natural;
    gtk_widget_get_preferred_size(GTK_WIDGET(image), nullptr, &natural);
    *width = natural.width;
    *height = natural.height;
  };

  // Wider than tall, and larger than the box: scaled down to 400 wide.
  std::string wide = scratch.file("wide.png");
  ASSERT_TRUE(testsupport::writeSplashPng(wide, 800, 600));
  GtkImage* image = splashed(wide);
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(gtk_image_get_storage_type(image), GTK_IMAGE_SURFACE);
  int width = 0, height = 0;
  shownSize(image, &width, &height);
  EXPECT_EQ(width, 400);
  EXPECT_EQ(height, 300);

  // A window moved to a display of scale 2 draws the file's own 800 x 600 pixels there.
  if (testsupport::currentDesktop() == testsupport::Desktop::kX11) {
    GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(image));
    gdk_x11_display_set_window_scale(display, 2);
    pumpEvents();
    cairo_surface_t* surface = nullptr;
    g_object_get(image, "surface", &surface, nullptr);
    ASSERT_NE(surface, nullptr);
    EXPECT_EQ(cairo_image_surface_get_width(surface), 800);
    EXPECT_EQ(cairo_image_surface_get_height(surface), 600);
    cairo_surface_destroy(surface);
    shownSize(image, &width, &height);
    EXPECT_EQ(width, 400);  // points
    gdk_x11_display_set_window_scale(display, 1);
    pumpEvents();
  }

  // Smaller and taller than wide: scaled up to 400 high.
  std::string tall = scratch.file("tall.png");
  ASSERT_TRUE(testsupport::writeSplashPng(tall, 50, 100));
  shownSize(splashed(tall), &width, &height);
  EXPECT_EQ(width, 200);
  EXPECT_EQ(height, 400);

  // A file that is not an image, a named pipe, a missing one, and one too large to decode show
  // no splash.
  std::string broken = scratch.writeFile("broken.png", "not a picture");
  ASSERT_EQ(mkfifo(scratch.file("pipe.png").c_str(), 0600), 0);
  std::string huge = scratch.file("huge.png");
  ASSERT_TRUE(testsupport::writeSplashPng(huge, 4100, 4100));
  for (const std::string& path : {scratch.file("pipe.png"), broken, scratch.file("missing.png"), huge})
    EXPECT_EQ(gtk_image_get_storage_type(splashed(path)), GTK_IMAGE_EMPTY) << path;
}

TEST_F(GtkWindowTest, CloseHidesTheWindowAndTellsNobody) {
  window->close();
  ASSERT_EQ(downloadWindows().size(), 1u);
  EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(downloadWindows()[0])));
  window->status(kDownloading);  // never shown again
  EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(downloadWindows()[0])));
  EXPECT_EQ(events.closes, 0);
}

TEST_F(GtkWindowTest, WindowManagerCloseIsAnEvent) {
  std::vector<GtkWindow*> windows = downloadWindows();
  ASSERT_EQ(windows.size(), 1u);
  // The same request a title-bar close button sends (a delete event).
  gtk_window_close(windows[0]);
  pumpEvents();
  EXPECT_EQ(events.closes, 1);
  // Not destroyed: the run closes it.
  EXPECT_EQ(downloadWindows().size(), 1u);
}

TEST_F(GtkWindowTest, DestroyingTheWindowTakesItAway) {
  ASSERT_EQ(downloadWindows().size(), 1u);
  window.reset();
  pumpEvents();
  EXPECT_TRUE(downloadWindows().empty());
  EXPECT_EQ(events.closes, 0);  // going away is not a close request
}

TEST_F(GtkWindowTest, EachCallMakesAWindowOfItsOwn) {
  std::unique_ptr<DownloadWindow> second = makeGtkWindow(std::nullopt, events);
  ASSERT_TRUE(second);
  EXPECT_EQ(downloadWindows().size(), 2u);
  second.reset();
  EXPECT_EQ(downloadWindows().size(), 1u);
}

}  // namespace
}  // namespace download_app
