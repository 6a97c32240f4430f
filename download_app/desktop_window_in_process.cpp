// The desktop window of the development build: the GTK window as a module, which the executable
// carries and loads from memory. A module that cannot be loaded leaves the run to the terminal
// window. GTK cannot be unloaded: the module stays.

#include <dlfcn.h>
#include <unistd.h>

#include <string>

#include "download_app/desktop_window.h"
#include "host/files.h"

namespace download_app {
namespace {

using MakeWindow = DownloadWindow* (*)(const std::optional<Image>*, WindowEvents*);

// The module's entry; nothing, with `problem` saying why, when it cannot be loaded.
MakeWindow loadModule(WindowStatus& problem) {
  // Open for as long as the module is loaded, to the end of the process (see the path below).
  static host::FileDescriptor file(carriedDesktopWindowFile());
  if (file.get() < 0) {
    problem = {WindowProblem::kModuleUnwritten, "", errno};
    return nullptr;
  }
  // The module's name in the list of loaded libraries, which a debugger that attaches opens in
  // its own process: there "/proc/self/fd/N" is a descriptor of the debugger's own (a pipe that
  // gdb then reads forever).
  std::string path = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(file.get());
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  void* make = module != nullptr ? dlsym(module, "installer_make_desktop_window") : nullptr;
  if (const char* error = make == nullptr ? dlerror() : nullptr)
    problem = {WindowProblem::kModuleUnloadable, error};
  return reinterpret_cast<MakeWindow>(make);
}

}  // namespace

std::unique_ptr<DownloadWindow> openDesktopWindow(const std::optional<Image>& splash,
                                                  WindowEvents& events, WindowStatus& problem) {
  static WindowStatus loadProblem;
  static const MakeWindow make = loadModule(loadProblem);  // once per process
  if (make == nullptr) {
    problem = loadProblem;
    return nullptr;
  }
  std::unique_ptr<DownloadWindow> window(make(&splash, &events));
  if (!window) problem = WindowProblem::kNoDisplay;
  return window;
}

}  // namespace download_app
