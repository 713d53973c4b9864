// Status.h - the outcome of a record-store operation: success, or a failure
// with a sentence that says why, meant for a person reading a log or a
// command's output.
#ifndef MORVANE_LODESTOR_STATUS_H
#define MORVANE_LODESTOR_STATUS_H

#include <string>
#include <utility>

namespace lodestor {

class Status {
public:
    Status() = default;  // success

    static Status Ok() { return Status(); }
    static Status Error(std::string reason) { return Status(std::move(reason)); }

    bool ok() const { return !failed_; }
    // Empty on success.
    const std::string& reason() const { return reason_; }

private:
    explicit Status(std::string reason) : failed_(true), reason_(std::move(reason)) {}

    bool failed_ = false;
    std::string reason_;
};

}  // namespace lodestor

#endif
