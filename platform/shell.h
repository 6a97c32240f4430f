// Shell command lines: quoting a word and running the line. The installer starts `unzip` with one
// command line for the system shell, assembled by the caller from these pieces. Nothing here
// reports a message. Stateless and safe on any thread.
#pragma once

#include <string>

// `text` in double quotes when it holds a blank or a tab, otherwise unchanged. Nothing inside
// is escaped, so this alone protects only words whose other characters are ordinary.
std::string smart_quote(std::string text);

// A path as one shell word that the shell takes literally. A path of ordinary characters
// (letters, digits, blank, tab and / . _ - + , : @ % =, not starting with "-") gets `smart_quote`;
// any other, and the empty one, is single-quoted with each ' written as '\''.
std::string shell_word(std::string path);

// `path` as an operand that no program takes for an option: "./" before a leading "-".
std::string operand_path(std::string path);

// Runs `command` with "/bin/sh -c", waits and returns its status as system() does (0 only for
// status 0; -1 when no process could be made); `program` names what it starts, unused. Unlike
// system(), it passes the termination signals on (host/termination.h); once the run has had one
// it starts nothing and answers as if the command had been ended by it.
int call_system(std::string program, std::string command);
