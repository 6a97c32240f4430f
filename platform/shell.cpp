#include "platform/shell.h"

#include <glib.h>

#include <algorithm>
#include <string_view>

#include "host/process.h"
#include "host/termination.h"

namespace {

// Characters that the shell gives no meaning, bare or inside double quotes.
bool isOrdinary(unsigned char c) {
  return g_ascii_isalnum(c) || std::string_view("/._-+,:@%= \t").find(c) != std::string_view::npos;
}

}  // namespace

std::string smart_quote(std::string text) {
  if (text.find_first_of(" \t") != std::string::npos) return "\"" + text + "\"";
  return text;
}

std::string shell_word(std::string path) {
  if (!path.empty() && path.front() != '-' && std::all_of(path.begin(), path.end(), isOrdinary))
    return smart_quote(std::move(path));
  std::string quoted = "'";
  for (char c : path) {
    if (c == '\'')
      quoted += "'\\''";  // ends the quote, adds \' and opens a new one
    else
      quoted += c;
  }
  return quoted + "'";
}

std::string operand_path(std::string path) { return path.starts_with('-') ? "./" + path : path; }

// system() cannot pass a signal on: it ignores SIGINT and SIGQUIT while it waits and hides the
// command's process id. So the shell is started as system() starts it, and the wait passes them on.
int call_system(std::string /*program*/, std::string command) {
  if (int signal = host::terminationSignal()) return signal;  // the wait status of that end

  // The shell outlives its command: a termination signal that it receives, from the terminal
  // or passed on, takes effect only after the command (which got the signal too) has ended,
  // and then ends the shell with that same signal, as system()'s status would show it.
  std::string line;
  for (const char* name : {"INT", "TERM", "HUP"})
    line += std::string("trap 'trap - ") + name + "; kill -" + name + " $$' " + name + "; ";
  line += command;
  // "--": a command that starts with "-" is still the command.
  host::Process shell = host::Process::start("/bin/sh", {"-c", "--", line});
  if (!shell.started()) return -1;
  return shell.wait();
}
