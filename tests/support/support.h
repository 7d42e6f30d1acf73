// Shared test helpers: temporary directories, the error log read back, servers on loopback
// ports the system picks, loopback connections, and the time scale of sanitizer builds.
// Brings in what nearly every test uses, so a test file lists only what is its own.
#pragma once

#include "quorvel.h"

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

#if defined(__has_feature)
#define QTEST_HAS_FEATURE(name) __has_feature(name)
#else
#define QTEST_HAS_FEATURE(name) 0
#endif

namespace qtest {

// How many times longer than in a plain build code may take here: the sanitizers slow it
// down several times. Every upper bound a test puts on elapsed time is multiplied by it, so a
// plain build keeps its bounds exactly.
#if defined(__SANITIZE_THREAD__) || QTEST_HAS_FEATURE(thread_sanitizer)
inline constexpr int TIME_SCALE = 10;
#elif defined(__SANITIZE_ADDRESS__) || QTEST_HAS_FEATURE(address_sanitizer)
inline constexpr int TIME_SCALE = 3;
#else
inline constexpr int TIME_SCALE = 1;
#endif

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

// Adds a listener on 127.0.0.1 and a port the system picks to `server` (which has no listener
// yet), starts it and waits up to `wait_ms` for it to serve: the port it is bound to, or -1
// (with a failed expectation) when any step fails.
int serve_on_loopback(envelope* server, int wait_ms = 10000);

// Connects to 127.0.0.1:port, retrying for `timeout_ms`; the descriptor, or -1. Its receive
// time-out is `timeout_ms` too, so a silent server fails the test. With `source` (another
// loopback address such as "127.0.0.2"), the connection comes from that address.
int connect_loopback(int port, int timeout_ms = 10000, const char* source = nullptr);

// Checks errno, the last-error code and that `line` is all the log got since the last clear;
// then clears the log.
void expect_report(const ErrorLog& log, const std::string& line, int err, uint32_t last);

} // namespace qtest
