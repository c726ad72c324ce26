#pragma once
// Named temporary files that must not outlive an interrupted program. AtomicFile registers the
// name of a temporary while it exists under that name; a program that installs the handlers has
// them removed when SIGINT or SIGTERM ends it. (SIGKILL cannot be caught: that is why AtomicFile
// keeps its temporary nameless wherever the file system allows.)

#include <string>

namespace platform {

// Registers a path; returns a ticket for UnregisterTemporary, or -1 when it could not be kept
// (too many at once, or too long), in which case a signal leaves the file behind.
int RegisterTemporary(const std::string& path);
void UnregisterTemporary(int ticket);

// Installs handlers for SIGINT and SIGTERM that remove every registered file and then end the
// process with the status 128 + signal, as a shell reports a program ended by that signal.
// A signal that is ignored when this is called stays ignored.
void RemoveTemporariesOnSignals();

}  // namespace platform
