// Status.h - the outcome of an internal call of any of the libraries (the
// file layer, the raster database's stores, the areas): success, or a
// failure with a sentence that says why, meant for a person reading a log
// or a command's output.  The exported calls turn it into their documented
// results (1/0, true/false) at the edge, and keep the sentence where a
// caller can ask for it (GetLastError, LastError).
//
// A failure's message names what was attempted and on which path, and for a
// failed system call ends with the system's own text, for example
//
//   cannot create /data/a.gcp.tmp-4711-0: Permission denied
//
// The code tells the few cases a caller acts on apart (a missing file, a
// save refused because another writer changed the file); the message is for
// people and is never parsed.
#ifndef MORVANE_BASE_STATUS_H
#define MORVANE_BASE_STATUS_H

#include <string>
#include <utility>

namespace morvane {

class Status {
public:
    Status() = default;  // success

    static Status OK() { return Status(); }
    // The path (or a directory on the way to it) does not exist.
    static Status NotFound(std::string message) { return Status(kNotFound, std::move(message)); }
    // The platform refused or failed an operation.
    static Status IOError(std::string message) { return Status(kIOError, std::move(message)); }
    // The request cannot be carried out as asked (a directory where a file
    // belongs, a loop of links), whatever the state of the disk.
    static Status InvalidArgument(std::string message) {
        return Status(kInvalidArgument, std::move(message));
    }
    // Another writer changed the file or record since it was read: a save
    // refused so that it does not overwrite that writer's version.
    static Status Conflict(std::string message) { return Status(kConflict, std::move(message)); }

    bool ok() const { return code_ == kOk; }
    bool IsNotFound() const { return code_ == kNotFound; }
    bool IsIOError() const { return code_ == kIOError; }
    bool IsInvalidArgument() const { return code_ == kInvalidArgument; }
    bool IsConflict() const { return code_ == kConflict; }

    // The sentence of a failure; "" on success.
    const std::string& message() const { return message_; }

private:
    enum Code : unsigned char { kOk, kNotFound, kIOError, kInvalidArgument, kConflict };

    Status(Code code, std::string message) : code_(code), message_(std::move(message)) {}

    Code code_ = kOk;
    std::string message_;
};

}  // namespace morvane

#endif
