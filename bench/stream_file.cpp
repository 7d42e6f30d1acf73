// Sending a file over a loopback TCP connection: socket_streamfile (sendfile) and
// socket_stream_file (read and send) against a plain blocking sendfile loop and a raw read of
// the file, as MB/s (10^6 bytes per second) side by side, each the median of a few runs.
// A receiver thread drains the connection; a run ends when it has every byte. "paired" is the
// median of each round's rate over the plain loop's rate in the same round; "sender CPU" is
// the CPU time of the sending thread. Both hold up better than raw rates on a shared machine.
//
//   bench_stream_file [MiB=64] [runs=5] [directory=$TMPDIR or /tmp] [--sweep]
//
// --sweep adds a non-blocking sendfile loop that waits for room before every call (the
// library's scheme) at several per-call sizes, which is how the library's size was chosen.
#include "foundation/buffer.h"
#include "net/file_stream.h"
#include "net/socket.h"
#include "quorvel.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

// Every run, and the whole benchmark, stop by these bounds whatever happens.
constexpr int RUN_TIMEOUT_S = 20;
constexpr double TOTAL_BUDGET_S = 120.0;

// CPU seconds the calling thread has used: the sender's own cost, which the other load on a
// shared machine disturbs far less than the wall-clock rate.
double thread_cpu()
{
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// A connected loopback pair: `sender` is the accepted end, as a server's connection is.
struct Connection {
    int sender = -1;
    int receiver = -1;
    bool open()
    {
        int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(addr);
        bool ok = ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
                  ::listen(listener, 1) == 0 &&
                  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length) == 0;
        if (ok) {
            receiver = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            ok = ::connect(receiver, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
        }
        if (ok) {
            sender = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            ok = sender != -1;
            timeval tv{RUN_TIMEOUT_S, 0};
            ::setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
            ::setsockopt(sender, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
        }
        ::close(listener);
        return ok;
    }
};

// Reads until `want` bytes came, the peer closed or a receive timed out; then closes.
void drain(int fd, uint64_t want, std::atomic<uint64_t>* got)
{
    std::vector<char> chunk(1 << 18);
    uint64_t total = 0;
    while (total < want) {
        ssize_t n = ::recv(fd, chunk.data(), chunk.size(), 0);
        if (n <= 0)
            break;
        total += static_cast<uint64_t>(n);
    }
    got->store(total);
    ::close(fd);
}

// One way of sending the file over `sender`; true when it reported success.
// A method that hands `sender` to an owner of its own sets it to -1.
using send_fn = std::function<bool(int& sender, const char* path, uint64_t size)>;

struct Timing {
    double wall = -1; // seconds until the receiver had the last byte; negative: failed
    double cpu = 0;   // CPU seconds of the sending thread
};

// One transfer: the send and the receiver's last byte.
Timing one_transfer(const send_fn& send, const char* path, uint64_t size)
{
    Connection c;
    if (!c.open())
        return {};
    std::atomic<uint64_t> got{0};
    auto start = clock_type::now();
    std::thread receiver(drain, c.receiver, size, &got);
    double cpu = thread_cpu();
    bool ok = send(c.sender, path, size);
    cpu = thread_cpu() - cpu;
    receiver.join();
    double took = seconds_since(start);
    if (c.sender != -1)
        ::close(c.sender);
    if (!ok || got.load() != size)
        return {};
    return {took, cpu};
}

bool plain_sendfile(int& sender, const char* path, uint64_t size)
{
    int file = ::open(path, O_RDONLY | O_CLOEXEC);
    if (file == -1)
        return false;
    off_t offset = 0;
    uint64_t left = size;
    while (left > 0) {
        ssize_t n = ::sendfile(sender, file, &offset, left);
        if (n <= 0)
            break;
        left -= static_cast<uint64_t>(n);
    }
    ::close(file);
    return left == 0;
}

// The library's scheme written out: a non-blocking handle, a wait before every call, at most
// `per_call` bytes per call.
bool polled_sendfile(int& sender, const char* path, uint64_t size, uint64_t per_call)
{
    int file = ::open(path, O_RDONLY | O_CLOEXEC);
    if (file == -1)
        return false;
    ::fcntl(sender, F_SETFL, ::fcntl(sender, F_GETFL) | O_NONBLOCK);
    off_t offset = 0;
    uint64_t left = size;
    while (left > 0) {
        pollfd p{sender, POLLOUT, 0};
        if (::poll(&p, 1, RUN_TIMEOUT_S * 1000) != 1)
            break;
        ssize_t n = ::sendfile(sender, file, &offset, std::min(left, per_call));
        if (n < 0 && errno == EAGAIN)
            continue;
        if (n <= 0)
            break;
        left -= static_cast<uint64_t>(n);
    }
    ::close(file);
    return left == 0;
}

// A connection record over `fd` as the server makes one: a duplicate with an inline buffer
// of the default size. It owns `fd` from then on.
quorvel::socket* record_for(int fd)
{
    quorvel::socket proto{};
    proto.port = 80;
    proto.fd[0] = fd;
    proto.fd[1] = -1;
    proto.timeout = RUN_TIMEOUT_S;
    proto.sndbuf = 66560;
    proto.rcvbuf = 66560;
    proto.flags = SOCK_BUFFERED | SOCK_CONNECTED;
    return quorvel::socket_dup(&proto);
}

bool library_send(int& sender, const char* path, uint64_t size, bool transmit)
{
    quorvel::socket* s = record_for(sender);
    if (s == nullptr)
        return false;
    int rc = transmit ? quorvel::socket_streamfile(s, path, size)
                      : quorvel::socket_stream_file(s, path, size);
    // The record owns and closes the handle.
    quorvel::socket_destroy(&s);
    sender = -1;
    return rc == 0;
}

// Reading the file once, as `cat FILE > /dev/null` would.
Timing raw_read(const char* path, uint64_t size)
{
    std::vector<char> chunk(128 << 10);
    auto start = clock_type::now();
    double cpu = thread_cpu();
    int file = ::open(path, O_RDONLY | O_CLOEXEC);
    if (file == -1)
        return {};
    uint64_t total = 0;
    ssize_t n;
    while ((n = ::read(file, chunk.data(), chunk.size())) > 0)
        total += static_cast<uint64_t>(n);
    ::close(file);
    double took = seconds_since(start);
    if (total != size)
        return {};
    return {took, thread_cpu() - cpu};
}

struct Row {
    std::string name;
    std::vector<double> rates; // MB/s of the runs that succeeded
    std::vector<double> cpu;   // sender CPU milliseconds of those runs
    // Rate over the plain sendfile loop's rate of the same round: the two ran a moment apart,
    // so a change in the machine's other load affects both.
    std::vector<double> paired;
    int failed = 0;
};

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

bool make_file(const std::string& path, uint64_t size)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd == -1)
        return false;
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(i * 31 + i / 4096);
    uint64_t left = size;
    while (left > 0) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(left, block.size()));
        if (::write(fd, block.data(), n) != static_cast<ssize_t>(n)) {
            ::close(fd);
            return false;
        }
        left -= n;
    }
    return ::close(fd) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args;
    bool sweep = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--sweep") == 0)
            sweep = true;
        else
            args.emplace_back(argv[i]);
    }
    uint64_t mib = args.size() > 0 ? std::strtoull(args[0].c_str(), nullptr, 10) : 64;
    int runs = args.size() > 1 ? std::atoi(args[1].c_str()) : 5;
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = args.size() > 2 ? args[2] : (tmp != nullptr ? tmp : "/tmp");
    if (mib == 0 || mib > 4096 || runs < 1 || runs > 50) {
        std::fprintf(stderr, "usage: %s [MiB 1..4096] [runs 1..50] [directory] [--sweep]\n",
                     argv[0]);
        return 2;
    }
    quorvel_init();
    uint64_t size = mib << 20;
    std::string path = dir + "/quorvel-bench-stream-" + std::to_string(::getpid()) + ".bin";
    if (!make_file(path, size)) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return 1;
    }
    // Every method reads the file from the page cache.
    raw_read(path.c_str(), size);

    std::vector<std::pair<std::string, std::function<Timing()>>> methods;
    auto transfer = [&](send_fn f) {
        return [&path, size, f] { return one_transfer(f, path.c_str(), size); };
    };
    methods.emplace_back("raw read (cat > /dev/null)",
                         [&] { return raw_read(path.c_str(), size); });
    methods.emplace_back("plain sendfile loop", transfer(plain_sendfile));
    methods.emplace_back("socket_streamfile", transfer([](int& fd, const char* p, uint64_t n) {
                             return library_send(fd, p, n, true);
                         }));
    methods.emplace_back("socket_stream_file", transfer([](int& fd, const char* p, uint64_t n) {
                             return library_send(fd, p, n, false);
                         }));
    if (sweep) {
        for (uint64_t per_call : {uint64_t{66560}, uint64_t{256} << 10, uint64_t{1} << 20,
                                  uint64_t{4} << 20, uint64_t{16} << 20}) {
            methods.emplace_back("polled sendfile, " + std::to_string(per_call >> 10) +
                                     " KiB per call",
                                 transfer([per_call](int& fd, const char* p, uint64_t n) {
                                     return polled_sendfile(fd, p, n, per_call);
                                 }));
        }
    }

    std::vector<Row> rows(methods.size());
    auto begin = clock_type::now();
    // Runs interleave the methods, so a disturbance on the shared machine hits all of them.
    for (int run = 0; run < runs && seconds_since(begin) < TOTAL_BUDGET_S; ++run) {
        std::vector<double> round(methods.size(), 0);
        for (size_t m = 0; m < methods.size(); ++m) {
            rows[m].name = methods[m].first;
            Timing t = methods[m].second();
            if (t.wall > 0) {
                round[m] = static_cast<double>(size) / t.wall / 1e6;
                rows[m].rates.push_back(round[m]);
                rows[m].cpu.push_back(t.cpu * 1e3);
            } else {
                ++rows[m].failed;
            }
        }
        for (size_t m = 0; m < methods.size(); ++m)
            if (round[m] > 0 && round[1] > 0)
                rows[m].paired.push_back(round[m] / round[1]);
    }
    ::unlink(path.c_str());

    double raw = median(rows[0].rates);
    double plain = median(rows[1].rates);
    double plain_cpu = median(rows[1].cpu);
    std::printf("%llu MiB over 127.0.0.1, %zu runs, MB/s = 10^6 bytes/s; sender CPU = CPU time of "
                "the sending thread\n",
                static_cast<unsigned long long>(mib), rows[1].rates.size());
    std::printf("%-36s %8s %8s %8s %9s %8s %9s %11s %9s\n", "method", "median", "min", "max",
                "/sendfile", "/read", "paired", "sender CPU", "/sendfile");
    for (const Row& row : rows) {
        if (row.rates.empty()) {
            std::printf("%-36s %8s (%d failed)\n", row.name.c_str(), "failed", row.failed);
            continue;
        }
        auto [lo, hi] = std::minmax_element(row.rates.begin(), row.rates.end());
        double rate = median(row.rates);
        double cpu = median(row.cpu);
        std::printf("%-36s %8.0f %8.0f %8.0f %8.2fx %7.2fx %8.2fx %8.1f ms %8.2fx",
                    row.name.c_str(), rate, *lo, *hi, plain > 0 ? rate / plain : 0,
                    raw > 0 ? rate / raw : 0, median(row.paired), cpu,
                    plain_cpu > 0 ? cpu / plain_cpu : 0);
        if (row.failed)
            std::printf("  (%d failed)", row.failed);
        std::printf("\n");
    }
    return 0;
}
