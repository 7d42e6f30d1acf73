// Scope guards for what a thread heap reset cannot reclaim (descriptors, FILE*, blocks of the
// general allocator, locks) and for the error codes of a failure that clean-up must not
// disturb. Each runs on every way out of its scope.
#pragma once

#include "core/report.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <unistd.h>
#include <utility>

namespace quorvel {

// Runs `fn` when the scope ends, unless dismissed.
template <class F>
class scope_guard {
public:
    explicit scope_guard(F fn) : fn_(std::move(fn)) {}
    ~scope_guard()
    {
        if (armed_)
            fn_();
    }
    scope_guard(const scope_guard&) = delete;
    scope_guard& operator=(const scope_guard&) = delete;
    void dismiss() { armed_ = false; }

private:
    F fn_;
    bool armed_ = true;
};

// Keeps errno and the last-error code of a failure across the clean-up that follows it:
// both are put back when the scope ends.
class errno_saver {
public:
    errno_saver() : errno_(errno), last_(last_error()) {}
    ~errno_saver()
    {
        errno = errno_;
        set_last_error(last_);
    }
    errno_saver(const errno_saver&) = delete;
    errno_saver& operator=(const errno_saver&) = delete;

private:
    int errno_;
    uint32_t last_;
};

// Owns a descriptor: closes it at the end of the scope unless released. -1 holds nothing.
class fd_guard {
public:
    explicit fd_guard(int fd = -1) : fd_(fd) {}
    ~fd_guard() { reset(); }
    fd_guard(const fd_guard&) = delete;
    fd_guard& operator=(const fd_guard&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    // Closes what is held (keeping errno and the last error) and holds `fd` instead.
    void reset(int fd = -1)
    {
        if (fd_ != -1) {
            errno_saver keep;
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_;
};

// Owns a stream: closes it at the end of the scope unless released.
class file_guard {
public:
    explicit file_guard(std::FILE* f = nullptr) : f_(f) {}
    ~file_guard() { reset(); }
    file_guard(const file_guard&) = delete;
    file_guard& operator=(const file_guard&) = delete;
    std::FILE* get() const { return f_; }
    std::FILE* release() { return std::exchange(f_, nullptr); }
    // Closes the stream now (keeping errno and the last error).
    void reset()
    {
        if (f_ != nullptr) {
            errno_saver keep;
            std::fclose(std::exchange(f_, nullptr));
        }
    }
    explicit operator bool() const { return f_ != nullptr; }

private:
    std::FILE* f_;
};

} // namespace quorvel
