// The desktop window, loaded when it is shown.
//
// GTK and its hundred libraries take longer to load than a cached run takes to start its agent,
// and a terminal has no use for them. So the GTK window is a module the executable carries and
// loads from memory only when a display is named. A module that cannot be loaded is logged and
// the run goes on with the terminal window. GTK cannot be unloaded: the module stays.

#include <dlfcn.h>
#include <errno.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "download_app/controls.h"
#include "host/files.h"
#include "host/system_log.h"

// The module's file, made by the build, as bytes of this program.
asm(R"(
  .pushsection .rodata, "a"
  .balign 64
  .globl desktopWindowModule
  .globl desktopWindowModuleEnd
  .hidden desktopWindowModule
  .hidden desktopWindowModuleEnd
desktopWindowModule:
  .incbin ")" DESKTOP_WINDOW_MODULE R"("
desktopWindowModuleEnd:
  .popsection
)");
extern "C" const char desktopWindowModule[];
extern "C" const char desktopWindowModuleEnd[];

namespace download_app {
namespace {

using MakeWindow = void (*)(std::optional<WindowControls>*);

// Loads the module from an anonymous file; nothing when that fails (said in the system log).
MakeWindow loadModule() {
  // Open for as long as the module is loaded, to the end of the process (see the path below).
  static host::FileDescriptor file(memfd_create("installer-desktop-window", MFD_CLOEXEC));
  std::string_view bytes(desktopWindowModule,
                         static_cast<size_t>(desktopWindowModuleEnd - desktopWindowModule));
  if (file.get() < 0 || !host::writeAll(file.get(), bytes)) {
    host::systemLog("%s",
                    host::systemError("The desktop window could not be loaded", errno).c_str());
    return nullptr;
  }
  // The module's name in the list of loaded libraries, which a debugger that attaches opens in
  // its own process: there "/proc/self/fd/N" is a descriptor of the debugger's own (a pipe that
  // gdb then reads forever).
  std::string path = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(file.get());
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) file.reset();
  void* make = module != nullptr ? dlsym(module, "installer_make_desktop_window") : nullptr;
  if (make == nullptr) host::systemLog("The desktop window could not be loaded: %s", dlerror());
  return reinterpret_cast<MakeWindow>(make);
}

}  // namespace

std::optional<WindowControls> makeDesktopWindow() {
  static const MakeWindow make = loadModule();  // once per process
  std::optional<WindowControls> controls;
  if (make != nullptr) make(&controls);
  return controls;
}

}  // namespace download_app
