// SystemError.cpp - statuses of failed system calls.
#include "SystemError.h"

#include <cerrno>
#include <system_error>

namespace morvane {

Status PosixError(const std::string& action, const std::string& path, int error) {
    // The category's message is the strerror text, without strerror's
    // shared buffer.
    std::string message = action + " " + path + ": " + std::system_category().message(error);
    if (error == ENOENT || error == ENOTDIR) return Status::NotFound(std::move(message));
    return Status::IOError(std::move(message));
}

}  // namespace morvane
