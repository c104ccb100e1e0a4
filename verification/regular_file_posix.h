// Opening a file for the library's stream on POSIX systems.
#pragma once

#include <string>

// The descriptor of the regular file at path, opened read-only without waiting; -1 for a path
// no file can have (an unpaired surrogate or an embedded NUL), a file that cannot be opened,
// or anything that is not a regular file. Opening a named pipe for reading waits for a writer
// and a device may wait for input, so the open does not wait, and pipes, sockets, devices and
// directories are refused before their first byte (on a regular file O_NONBLOCK changes
// nothing).
int OpenRegularFile(const std::u16string& path);
