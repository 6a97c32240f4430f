// Suppressions for third-party code in sanitizer builds, compiled into every executable (the
// installer and the test programs): the sanitizers look for them in the main program.

#if defined(__SANITIZE_ADDRESS__)
// Sanitizer builds only. While GTK initialises, GLib, fontconfig and D-Bus make allocations that
// live as long as the process; the leak checker would report them at every exit. (GLib is built
// without frame pointers, so its allocations cannot be told apart by their callers.) glibc keeps
// the directory list of LOCPATH that it builds when it loads the user's locale from there.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libglib-2.0.so\nleak:libfontconfig.so\nleak:libdbus-1.so\nleak:__argz_add_sep\n";
}
// Keeps the run's last line on standard error the installer's own.
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }
#endif

#if defined(__SANITIZE_THREAD__)
// Sanitizer builds only. Pango starts a thread that loads the font configuration while GTK
// goes on; the two meet inside fontconfig, which the race detector cannot see into.
extern "C" const char* __tsan_default_suppressions() { return "race:libfontconfig.so\n"; }
#endif

