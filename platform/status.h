#pragma once
// A success flag with a reason for the user. Procedures below the front ends return one of these
// instead of throwing; only the window turns the reason into a message box and only the
// command-line tool into a line on stderr.

#include <string>
#include <utility>

namespace platform {

class Status {
public:
    Status() = default;  // success
    static Status Ok() { return {}; }
    static Status Fail(std::string reason) { return Status(std::move(reason)); }

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const std::string& reason() const { return reason_; }

private:
    explicit Status(std::string reason) : failed_(true), reason_(std::move(reason)) {}
    bool failed_ = false;
    std::string reason_;
};

}  // namespace platform
