// What the programs need from the operating system beyond the library: the
// command line in UTF-8, Ctrl-C and termination requests, standard error, the
// terminal and host names. One implementation per system (console_posix.cpp,
// console_win32.cpp), so the programs' own code is the same everywhere.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tivlo_tool {

// Prepares the standard streams (on Windows: UTF-8 on the console and no
// line-end translation, so both systems write the same bytes) and returns
// the arguments after the program name as UTF-8.
std::vector<std::string> StartConsole(int argc, char** argv);

// Ctrl-C and termination requests (SIGINT and SIGTERM; the console's Ctrl-C,
// Ctrl-Break and close events) set a flag instead of ending the process; a
// closed pipe does not end it either.
void InstallSignalHandlers();
// The request that arrived first (a signal number, or 1 for a console
// event), or 0.
int PendingSignal();

// Writes text to standard error in one call, so lines from several threads
// stay whole.
void WriteStderr(const std::string& text);
// True when standard error is a terminal; *columns then holds its width.
bool StderrTerminal(int* columns);

// The IPv4 addresses (network order) of a host name or dotted quad, in the
// resolver's order without repeats; empty with the reason in *error.
std::vector<uint32_t> ResolveIpv4(const std::string& name, std::string* error);

// Whether `folder` belongs to the owner of `home`: true when it does not
// exist yet, and wherever files carry no owner to compare (Windows).
bool OwnedLike(const std::filesystem::path& folder, const std::filesystem::path& home);

}  // namespace tivlo_tool
