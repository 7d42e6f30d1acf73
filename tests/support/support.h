// Shared test helpers: temporary directories and reading the error log back.
#pragma once

#include <cstdint>
#include <string>
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
    // Path of `name` inside the directory.
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Writes `contents` to `name` (creating directories on the way) and returns its path.
    std::string write(const std::string& name, const std::string& contents) const;

private:
    std::string path_;
};

// Reads a whole file; empty when it cannot be read.
std::string read_file(const std::string& path);

// An error log in a temporary directory: the first log made in the process, so it receives
// every error and debug line.
class ErrorLog {
public:
    ErrorLog();
    ~ErrorLog();
    ErrorLog(const ErrorLog&) = delete;
    ErrorLog& operator=(const ErrorLog&) = delete;

    const std::string& path() const { return path_; }
    // The entries written so far, each without its "[time] - " prefix.
    std::vector<std::string> lines() const;
    // The whole text of the entries, prefixes removed, concatenated.
    std::string text() const;
    // True when some entry contains `needle`.
    bool contains(const std::string& needle) const;
    // Forgets the entries written so far.
    void clear() const;

private:
    TempDir dir_;
    std::string path_;
    quorvel::log_record* log_;
};

// A TCP port on 127.0.0.1 that was free a moment ago (bound to port 0, then released).
int free_port();

// Connects to 127.0.0.1:port, retrying until `timeout_ms` has passed; the descriptor, or -1.
// The socket has a receive time-out of `timeout_ms`, so a silent server fails the test.
int connect_loopback(int port, int timeout_ms = 10000);

// Checks errno, the last-error code and that `line` is the only text in the log since it was
// last cleared; then clears the log.
void expect_report(const ErrorLog& log, const std::string& line, int err, uint32_t last);

} // namespace qtest
