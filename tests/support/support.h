// Shared test helpers: temporary directories, the error log read back, loopback connections.
// Brings in what nearly every test uses, so a test file lists only what is its own.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace quorvel {
struct log_record;
}

namespace qtest {

// A fresh directory under $TMPDIR, removed with everything in it at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Writes `contents` to `name` (creating directories on the way) and returns its path.
    std::string write(const std::string& name, const std::string& contents) const;

private:
    std::string path_;
};

// A whole file; empty when it cannot be read.
std::string read_file(const std::string& path);

// The first log made in the process, so it receives every error and debug line.
class ErrorLog {
public:
    ErrorLog(); // not copyable, as its TempDir is not
    ~ErrorLog();
    const std::string& path() const { return path_; }
    // The entries so far, each without its "[time] - " prefix; text() joins them.
    std::vector<std::string> lines() const;
    std::string text() const;
    bool contains(const std::string& needle) const;
    void clear() const; // forgets the entries so far

private:
    TempDir dir_;
    std::string path_;
    quorvel::log_record* log_;
};

// log_vprintf with its arguments inline.
int log_printf(quorvel::log_record* log, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// A TCP port on 127.0.0.1 that was free a moment ago (bound to port 0, then released).
int free_port();

// Connects to 127.0.0.1:port, retrying for `timeout_ms`; the descriptor, or -1. Its receive
// time-out is `timeout_ms` too, so a silent server fails the test. With `source` (another
// loopback address such as "127.0.0.2"), the connection comes from that address.
int connect_loopback(int port, int timeout_ms = 10000, const char* source = nullptr);

// Checks errno, the last-error code and that `line` is all the log got since the last clear;
// then clears the log.
void expect_report(const ErrorLog& log, const std::string& line, int err, uint32_t last);

} // namespace qtest
