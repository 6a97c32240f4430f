// Shell command lines: quoting a word, joining the user's arguments, running the line.
//
// The installer starts `unzip` and the install agent by handing one command line to the
// system shell. Callers assemble the line from these pieces. Nothing here reports a message;
// results say everything. All functions are stateless and safe on any thread.
#pragma once

#include <string>

// `text` in double quotes when it holds a blank or a tab, otherwise unchanged. Nothing inside
// is escaped, so this alone protects only words whose other characters are ordinary.
std::string smart_quote(std::string text);

// A path as one shell word that the shell takes literally, byte for byte. A path of ordinary
// characters (letters, digits, blank, tab and / . _ - + , : @ % =, not starting with "-")
// gets `smart_quote`; any other path, and the empty one, is put in single quotes with each '
// written as '\''. Every path that the installer puts on a command line goes through here.
std::string shell_word(std::string path);

// The user's arguments argv[1] .. argv[argc-1], each followed by one blank, not quoted: the
// shell splits and expands them, as the installer's callers expect. Empty when argc <= 1.
std::string argv2cmdline(int argc, const char* argv[]);

// Runs `command` with the system shell, waits for it and returns system()'s status unchanged
// (0 only when the command ended with status 0). `program` names what the command starts; it
// is not used to run anything.
int call_system(std::string program, std::string command);
