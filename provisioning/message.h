// How every operation of the installer reports to the user. An operation that has something to say
// takes a `MessageCallback` as its last argument and calls it with one short sentence and whether
// it is an error; nothing stores the callback.
#pragma once

#include <string>

using MessageCallback = void (*)(const std::string& message, bool isError);

// The command line's callback: forwards to `report_message_to_console`.
void report_message_main(const std::string& message, bool isError);

// Writes the message and one newline to standard error (errors) or standard output
// (information), then flushes that stream. No prefix, no colour.
void report_message_to_console(const std::string& message, bool isError);
