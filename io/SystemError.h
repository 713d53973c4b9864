// SystemError.h - statuses of failed system calls.
#ifndef MORVANE_IO_SYSTEMERROR_H
#define MORVANE_IO_SYSTEMERROR_H

#include "Status.h"

#include <string>

namespace morvane {

// The status of a system call that failed with errno value `error` while
// doing `action` ("cannot open", "cannot sync directory") on path:
// "<action> <path>: <the system's text for error>".  ENOENT and ENOTDIR give
// NotFound, everything else IOError.
Status PosixError(const std::string& action, const std::string& path, int error);

}  // namespace morvane

#endif
