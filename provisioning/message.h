// How the installer reports to the user: an operation that has something to say takes a
// `MessageCallback` last and calls it with one short sentence and whether it is an error.
#pragma once

#include <string>

using MessageCallback = void (*)(const std::string& message, bool isError);

// The command line's callback: forwards to `report_message_to_console`.
void report_message_main(const std::string& message, bool isError);

// Writes the message and a newline to stderr (errors) or stdout, flushed; no prefix, no colour.
void report_message_to_console(const std::string& message, bool isError);
