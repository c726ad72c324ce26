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
    // The user stopped the work (platform/progress.h); a failure that needs no message.
    static Status Cancelled() {
        Status s("キャンセルしました");
        s.cancelled_ = true;
        return s;
    }

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const std::string& reason() const { return reason_; }
    bool cancelled() const { return cancelled_; }

private:
    explicit Status(std::string reason) : failed_(true), reason_(std::move(reason)) {}
    bool failed_ = false;
    bool cancelled_ = false;
    std::string reason_;
};

}  // namespace platform
