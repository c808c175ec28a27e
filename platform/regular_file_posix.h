// Opening a file that must be a regular one, shared by the POSIX file code.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/append_file.h"

namespace platform {

// What `path` names now (through links); kMissing also when stat fails
// for another reason, with errno kept.
FileKind KindOf(const std::string& path);

// open(path, flags, mode) for a regular file only. stat looks first, so a
// FIFO or a device is never opened; O_NONBLOCK keeps the open from waiting
// should one be put in its place meanwhile, and fstat looks at what was
// really opened. The descriptor comes back blocking again. -1 with errno
// set, or with *kind naming what is there when it is no regular file.
int OpenRegularFile(const std::string& path, int flags, mode_t mode, FileKind* kind);

// The system's text for an errno value; safe on any thread.
std::string ErrnoText(int error);

}  // namespace platform
