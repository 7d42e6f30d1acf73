#include "support/support.h"

#include "core/log.h"
#include "core/report.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace qtest {

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/quorvel-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& contents) const
{
    std::string full = file(name);
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::ofstream(full, std::ios::binary) << contents;
    return full;
}

std::string read_file(const std::string& path)
{
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

ErrorLog::ErrorLog() : path_(dir_.file("error.log")), log_(quorvel::log_create(path_.c_str()))
{
    if (log_ == nullptr)
        throw std::runtime_error("cannot create the error log");
}

ErrorLog::~ErrorLog()
{
    quorvel::log_destroy(&log_);
}

std::vector<std::string> ErrorLog::lines() const
{
    // A few library lines end without a line feed, so an entry may follow on the same line.
    static const std::regex stamp(R"(\[\d\d/[A-Z][a-z]{2}/\d{4}:\d\d:\d\d:\d\d\] - )");
    std::string all = read_file(path_);
    std::vector<std::string> entries(std::sregex_token_iterator(all.begin(), all.end(), stamp, -1),
                                     std::sregex_token_iterator());
    if (!entries.empty()) // the text before the first stamp
        entries.erase(entries.begin());
    return entries;
}

std::string ErrorLog::text() const
{
    std::string joined;
    for (const std::string& line : lines())
        joined += line;
    return joined;
}

bool ErrorLog::contains(const std::string& needle) const
{
    return text().find(needle) != std::string::npos;
}

void ErrorLog::clear() const
{
    std::ofstream truncate(path_, std::ios::trunc);
}

static sockaddr_in loopback(int port)
{
    return {AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
}

int log_printf(quorvel::log_record* log, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = quorvel::log_vprintf(log, format, args);
    va_end(args);
    return result;
}

int serve_on_loopback(envelope* server, int wait_ms)
{
    bool served = server != nullptr &&
                  quorvel_obj_set(server, quorvel_attrib_listener_addr, 0, "127.0.0.1") == 0 &&
                  quorvel_obj_start(server) == 0 &&
                  quorvel_obj_get(server, quorvel_attrib_status, wait_ms) == 0;
    EXPECT_TRUE(served) << "the server did not come up on 127.0.0.1";
    if (!served)
        return -1;
    int port = quorvel_obj_get(server, quorvel_attrib_listener_addr, 0);
    EXPECT_GT(port, 0);
    return port;
}

int connect_loopback(int port, int timeout_ms, const char* source)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    sockaddr_in addr = loopback(port);
    sockaddr_in from = loopback(0);
    if (source != nullptr && ::inet_pton(AF_INET, source, &from.sin_addr) != 1)
        return -1;
    do {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (source != nullptr &&
            ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof(from)) != 0) {
            ::close(fd);
            return -1;
        }
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
            timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
            return fd;
        }
        ::close(fd);
        std::this_thread::yield();
    } while (std::chrono::steady_clock::now() < deadline);
    return -1;
}

void expect_report(const ErrorLog& log, const std::string& line, int err, uint32_t last)
{
    EXPECT_EQ(errno, err);
    EXPECT_EQ(quorvel::last_error(), last);
    EXPECT_EQ(log.text(), line);
    log.clear();
}

} // namespace qtest
