#include "net/marshal.h"

#include "core/envelope.h"
#include "core/report.h"
#include "core/thread_heap.h"
#include "foundation/htable.h"
#include "net/socket.h"
#include "platform/os.h"
#include "support/support.h"
#include "support/wire.h"

#include <bit>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <string>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace quorvel;
using qtest::connection;

namespace {

// A record at one end of a socket pair; the other end is a raw descriptor playing the peer.
struct Link {
    quorvel::socket* rec = nullptr;
    int peer = -1;
    Link()
    {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            return;
        rec = connection(fds[0]);
        peer = fds[1];
        timeval tv{10, 0};
        ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    }
    ~Link()
    {
        close_peer();
        socket_destroy(&rec);
    }
    void close_peer()
    {
        if (peer != -1)
            ::close(peer);
        peer = -1;
    }
    void put(const std::string& bytes) const
    {
        ASSERT_EQ(::send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // Flushes the record and reads what reached the peer, waiting at most a little for more.
    std::string sent() const
    {
        EXPECT_EQ(socket_flush(rec), 0);
        std::string got;
        char chunk[65536];
        for (int i = 0; i < 1000; ++i) {
            pollfd p{peer, POLLIN, 0};
            if (::poll(&p, 1, got.empty() ? 2000 : 100) <= 0)
                break;
            ssize_t n = ::recv(peer, chunk, sizeof(chunk), 0);
            if (n <= 0)
                break;
            got.append(chunk, static_cast<size_t>(n));
        }
        return got;
    }
};

// Two records joined by a socket pair.
struct Duplex {
    quorvel::socket* a = nullptr;
    quorvel::socket* b = nullptr;
    Duplex()
    {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            return;
        a = connection(fds[0]);
        b = connection(fds[1]);
    }
    ~Duplex()
    {
        // Ending b's output first lets each close see the other end finish at once.
        if (b != nullptr)
            ::shutdown(b->fd[0], SHUT_WR);
        socket_destroy(&a);
        socket_destroy(&b);
    }
};

std::string be32(uint32_t v)
{
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i)
        s[i] = static_cast<char>(v >> (24 - 8 * i));
    return s;
}

std::string checksum(const char* format)
{
    return be32(hash_bytes(format, static_cast<uint32_t>(std::strlen(format))));
}

std::string bytes(std::initializer_list<int> list)
{
    std::string s;
    for (int b : list)
        s.push_back(static_cast<char>(b));
    return s;
}

std::string mismatch_line(const char* expected, const char* received)
{
    char line[256];
    std::snprintf(line, sizeof(line),
                  "error (socket_vunmarshal, 10027): format mismatch checksum=%d,checksumin=%d "
                  "expected \"%s\"\n",
                  static_cast<int>(hash_bytes(expected, std::strlen(expected))),
                  static_cast<int>(hash_bytes(received, std::strlen(received))), expected);
    return line;
}

} // namespace

TEST(SwapBytes, ReversesTwoFourAndEightBytesOnly)
{
    unsigned char two[] = {1, 2};
    unsigned char four[] = {1, 2, 3, 4};
    unsigned char eight[] = {1, 2, 3, 4, 5, 6, 7, 8};
    unsigned char three[] = {1, 2, 3};
    swap_bytes(two, 2);
    swap_bytes(four, 4);
    swap_bytes(eight, 8);
    swap_bytes(three, 3);
    EXPECT_EQ(std::memcmp(two, "\2\1", 2), 0);
    EXPECT_EQ(std::memcmp(four, "\4\3\2\1", 4), 0);
    EXPECT_EQ(std::memcmp(eight, "\10\7\6\5\4\3\2\1", 8), 0);
    EXPECT_EQ(std::memcmp(three, "\1\2\3", 3), 0);
}

TEST(Ieee754, NormalValuesPackToTheirExactPatternsAndBack)
{
    uint64_t p = 1;
    EXPECT_EQ(pack_ieee754(0.0, 32, 8, &p), 0);
    EXPECT_EQ(p, 0u);
    p = 1;
    EXPECT_EQ(pack_ieee754(-0.0, 64, 11, &p), 0);
    EXPECT_EQ(p, 0u);

    std::mt19937_64 rng(20240611);
    for (int i = 0; i < 20000; ++i) {
        uint64_t bits64 = rng();
        double d = std::bit_cast<double>(bits64);
        if (std::fpclassify(d) != FP_NORMAL)
            continue;
        ASSERT_EQ(pack_ieee754(d, 64, 11, &p), 0) << d;
        ASSERT_EQ(p, bits64);
        ASSERT_EQ(std::bit_cast<uint64_t>(unpack_ieee754(p, 64, 11)), bits64);

        auto bits32 = static_cast<uint32_t>(bits64);
        float f = std::bit_cast<float>(bits32);
        if (std::fpclassify(f) != FP_NORMAL)
            continue;
        ASSERT_EQ(pack_ieee754(f, 32, 8, &p), 0) << f;
        ASSERT_EQ(p, bits32);
        ASSERT_EQ(std::bit_cast<uint32_t>(static_cast<float>(unpack_ieee754(p, 32, 8))), bits32);
    }
    // The edges of the normal ranges.
    for (double d : {DBL_MIN, -DBL_MIN, DBL_MAX, -DBL_MAX}) {
        ASSERT_EQ(pack_ieee754(d, 64, 11, &p), 0);
        EXPECT_EQ(p, std::bit_cast<uint64_t>(d));
    }
    for (float f : {FLT_MIN, -FLT_MIN, FLT_MAX, -FLT_MAX}) {
        ASSERT_EQ(pack_ieee754(f, 32, 8, &p), 0);
        EXPECT_EQ(p, std::bit_cast<uint32_t>(f));
    }
    // A double packed as a float is rounded to nearest.
    ASSERT_EQ(pack_ieee754(0.1, 32, 8, &p), 0);
    EXPECT_EQ(p, std::bit_cast<uint32_t>(0.1f));
}

TEST(Ieee754, SubnormalInfiniteNanAndOutOfRangeAreRefused)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    uint64_t p = 77;
    for (double d : {inf, -inf, nan, DBL_MIN / 2, DBL_TRUE_MIN})
        EXPECT_EQ(pack_ieee754(d, 64, 11, &p), -1) << d;
    for (double d : {inf, nan, double{FLT_MIN} / 2, 1e39, -1e39, 1e-40})
        EXPECT_EQ(pack_ieee754(d, 32, 8, &p), -1) << d;
    EXPECT_EQ(p, 77u);
    // Patterns a sender never makes still decode as IEEE says.
    EXPECT_EQ(unpack_ieee754(0x00000001, 32, 8), double{std::numeric_limits<float>::denorm_min()});
    EXPECT_EQ(unpack_ieee754(0x0000000000000001, 64, 11), DBL_TRUE_MIN);
    EXPECT_EQ(unpack_ieee754(0x7F800000, 32, 8), inf);
    EXPECT_EQ(unpack_ieee754(0xFFF0000000000000, 64, 11), -inf);
    EXPECT_TRUE(std::isnan(unpack_ieee754(0x7FC00000, 32, 8)));
}

TEST(Marshal, WireBytesOfIntegersFloatsAndStrings)
{
    Link link;
    ASSERT_NE(link.rec, nullptr);
    ASSERT_EQ(socket_marshal(link.rec, "i", 1), 0);
    EXPECT_EQ(link.sent(), checksum("i") + bytes({0, 0, 0, 1}));

    ASSERT_EQ(socket_marshal(link.rec, "f", 1.0), 0);
    EXPECT_EQ(link.sent(), checksum("f") + bytes({0, 0, 0x80, 0x3F}));

    ASSERT_EQ(socket_marshal(link.rec, "d", 1.0), 0);
    EXPECT_EQ(link.sent(), checksum("d") + bytes({0, 0, 0, 0, 0, 0, 0xF0, 0x3F}));

    ASSERT_EQ(socket_marshal(link.rec, "fd", -0.0, -0.0), 0);
    EXPECT_EQ(link.sent(), checksum("fd") + std::string(12, '\0'));

    ASSERT_EQ(socket_marshal(link.rec, "z", ""), 0);
    EXPECT_EQ(link.sent(), checksum("z") + bytes({0, 0, 0, 0}));

    // y one byte, s two, l the low 32 bits of a long, all most significant first.
    ASSERT_EQ(socket_marshal(link.rec, "ysilz", 0x1AB, 0x12345, -2, 0x123456789AL, "hi"), 0);
    EXPECT_EQ(link.sent(), checksum("ysilz") +
                               bytes({0xAB, 0x23, 0x45, 0xFF, 0xFF, 0xFF, 0xFE, 0x34, 0x56, 0x78,
                                      0x9A, 0, 0, 0, 2}) +
                               "hi");
}

TEST(Marshal, DebugLineNamesFormatAndChecksum)
{
    qtest::ErrorLog log;
    Link link;
    quorvel_debug(1);
    ASSERT_EQ(socket_marshal(link.rec, "iz", 3, "x"), 0);
    quorvel_debug(0);
    EXPECT_EQ(log.text(), "(socket_vmarshal, 10188): format: \"iz\", checksum=" +
                              std::to_string(static_cast<int>(hash_bytes("iz", 2))) + "\n");
}

TEST(Marshal, RoundTripOfEveryReceivableType)
{
    Duplex pair;
    ASSERT_NE(pair.b, nullptr);
    const char* format = "ssiilllfffddzzz";
    std::string text(1000, 'q');
    ASSERT_EQ(socket_marshal(pair.a, format, -32768, 32767, INT32_MIN, INT32_MAX, -5L, 0x7FFFFFFFL,
                             0x1FFFFFFFFL, 1.5, -3.25e38, double{FLT_MIN}, -1e300, DBL_MIN, "",
                             "a\nb\0c", text.c_str()),
              0);
    ASSERT_EQ(socket_flush(pair.a), 0);

    int16_t s1 = 0, s2 = 0;
    int32_t i1 = 0, i2 = 0;
    long l1 = 0, l2 = 0, l3 = 0;
    float f1 = 0, f2 = 0, f3 = 0;
    double d1 = 0, d2 = 0;
    char *z1 = nullptr, *z2 = nullptr, *z3 = nullptr;
    ASSERT_EQ(socket_unmarshal(pair.b, format, &s1, &s2, &i1, &i2, &l1, &l2, &l3, &f1, &f2, &f3,
                               &d1, &d2, &z1, &z2, &z3),
              0);
    EXPECT_EQ(s1, -32768);
    EXPECT_EQ(s2, 32767);
    EXPECT_EQ(i1, INT32_MIN);
    EXPECT_EQ(i2, INT32_MAX);
    EXPECT_EQ(l1, -5L);
    EXPECT_EQ(l2, 0x7FFFFFFFL);
    EXPECT_EQ(l3, -1L); // the low 32 bits, sign-extended
    EXPECT_EQ(f1, 1.5f);
    EXPECT_EQ(f2, -3.25e38f);
    EXPECT_EQ(f3, FLT_MIN);
    EXPECT_EQ(d1, -1e300);
    EXPECT_EQ(d2, DBL_MIN);
    ASSERT_NE(z1, nullptr);
    EXPECT_STREQ(z1, "");
    EXPECT_STREQ(z2, "a\nb"); // a string ends at its terminator
    EXPECT_EQ(text, z3);
    for (char* z : {z1, z2, z3})
        quorvel_mem_free(z);
}

TEST(Marshal, NegativeZeroArrivesAsPositiveZero)
{
    Duplex pair;
    ASSERT_EQ(socket_marshal(pair.a, "fd", -0.0, -0.0), 0);
    ASSERT_EQ(socket_flush(pair.a), 0);
    float f = 1;
    double d = 1;
    ASSERT_EQ(socket_unmarshal(pair.b, "fd", &f, &d), 0);
    EXPECT_EQ(f, 0.0f);
    EXPECT_FALSE(std::signbit(f));
    EXPECT_EQ(d, 0.0);
    EXPECT_FALSE(std::signbit(d));
}

TEST(Marshal, LongStringsAcrossManyBufferFills)
{
    Duplex pair;
    std::string big(3 * 1024 * 1024 + 17, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + i % 26);
    // The sender blocks until the receiver has taken most of the bytes.
    int sent = -2;
    std::thread sender([&] {
        sent = socket_marshal(pair.a, "izi", 7, big.c_str(), -7);
        if (sent == 0)
            sent = socket_flush(pair.a);
    });
    int32_t before = 0, after = 0;
    char* z = nullptr;
    int got = socket_unmarshal(pair.b, "izi", &before, &z, &after);
    sender.join();
    EXPECT_EQ(sent, 0);
    ASSERT_EQ(got, 0);
    EXPECT_EQ(before, 7);
    EXPECT_EQ(after, -7);
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(std::strlen(z), big.size());
    EXPECT_TRUE(big == z);
    quorvel_mem_free(z);
}

TEST(Marshal, InvalidIdentifierStopsTheRecordAfterEarlierFields)
{
    qtest::ErrorLog log;
    Link link;
    EXPECT_EQ(socket_marshal(link.rec, "iqi", 1, 2), -1);
    qtest::expect_report(log, "error (socket_vmarshal, 10265): q is an invalid format identifier\n",
                         EINVAL, 160);
    EXPECT_EQ(link.sent(), checksum("iqi") + bytes({0, 0, 0, 1}));
}

TEST(Marshal, NonNormalFloatsAndNullStringsAreRefusedUnsent)
{
    qtest::ErrorLog log;
    Link link;
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(socket_marshal(link.rec, "idi", 1, std::nan(""), 2), -1);
    qtest::expect_report(log, "error (socket_vmarshal, 10240): d value nan cannot be marshalled\n",
                         EINVAL, 160);
    EXPECT_EQ(link.sent(), checksum("idi") + bytes({0, 0, 0, 1}));

    EXPECT_EQ(socket_marshal(link.rec, "f", -inf), -1);
    qtest::expect_report(log, "error (socket_vmarshal, 10240): f value -inf cannot be marshalled\n",
                         EINVAL, 160);
    EXPECT_EQ(socket_marshal(link.rec, "f", 1e-40), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(socket_marshal(link.rec, "d", DBL_TRUE_MIN), -1);
    EXPECT_EQ(socket_marshal(link.rec, "f", 1e39), -1);
    log.clear();
    EXPECT_EQ(link.sent(), checksum("f") + checksum("f") + checksum("d") + checksum("f"));

    EXPECT_EQ(socket_marshal(link.rec, "z", static_cast<const char*>(nullptr)), -1);
    qtest::expect_report(log, "error (socket_vmarshal, 10250): null argument passed\n", EINVAL,
                         160);
    EXPECT_EQ(link.sent(), checksum("z"));
}

TEST(Marshal, MissingSocketOrFormatFailsWithoutALine)
{
    qtest::ErrorLog log;
    Link link;
    int32_t i = 0;
    EXPECT_EQ(socket_marshal(nullptr, "i", 1), -1);
    qtest::expect_report(log, "", EINVAL, 160);
    EXPECT_EQ(socket_marshal(link.rec, nullptr), -1);
    qtest::expect_report(log, "", EINVAL, 160);
    EXPECT_EQ(socket_unmarshal(nullptr, "i", &i), -1);
    qtest::expect_report(log, "", EINVAL, 160);
    EXPECT_EQ(socket_unmarshal(link.rec, nullptr), -1);
    qtest::expect_report(log, "", EINVAL, 160);
}

TEST(Unmarshal, FormatMismatchReadsNothingFurther)
{
    qtest::ErrorLog log;
    Link link;
    link.put(checksum("il") + bytes({0, 0, 0, 5, 0, 0, 0, 6}));
    int32_t a = 11, b = 12;
    EXPECT_EQ(socket_unmarshal(link.rec, "ii", &a, &b), -1);
    qtest::expect_report(log, mismatch_line("ii", "il"), EINVAL, 160);
    EXPECT_EQ(a, 11);
    EXPECT_EQ(b, 12);
    // The fields are still in the stream.
    char rest[8];
    ASSERT_EQ(socket_rcv(link.rec, rest, 8), 8);
    EXPECT_EQ(std::string(rest, 8), bytes({0, 0, 0, 5, 0, 0, 0, 6}));
}

TEST(Unmarshal, ByteIdentifierIsRefusedAfterEarlierFields)
{
    qtest::ErrorLog log;
    Link link;
    ASSERT_EQ(socket_marshal(link.rec, "iy", 9, 0x41), 0);
    std::string wire = link.sent();
    EXPECT_EQ(wire, checksum("iy") + bytes({0, 0, 0, 9, 0x41}));

    Duplex pair;
    ASSERT_EQ(socket_marshal(pair.a, "iy", 9, 0x41), 0);
    ASSERT_EQ(socket_flush(pair.a), 0);
    int32_t i = 0;
    EXPECT_EQ(socket_unmarshal(pair.b, "iy", &i), -1);
    qtest::expect_report(
        log, "error (socket_vunmarshal, 10148): y is an invalid format identifier\n", EINVAL, 160);
    EXPECT_EQ(i, 9);
}

TEST(Unmarshal, InvalidIdentifierReleasesTheLatestString)
{
    qtest::ErrorLog log;
    Link link;
    link.put(checksum("zzq") + be32(2) + "ab" + be32(3) + "cde");
    char* first = nullptr;
    char* second = nullptr;
    EXPECT_EQ(socket_unmarshal(link.rec, "zzq", &first, &second), -1);
    qtest::expect_report(
        log, "error (socket_vunmarshal, 10148): q is an invalid format identifier\n", EINVAL, 160);
    // The earlier block stays with the caller; the latest went back (ASan sees any leak).
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first, "ab");
    EXPECT_EQ(second, nullptr);
    quorvel_mem_free(first);
}

TEST(Unmarshal, FailedFixedFieldReleasesTheLatestString)
{
    Link link;
    link.put(checksum("zzi") + be32(2) + "ab" + be32(3) + "cde" + bytes({0, 1}));
    link.close_peer();
    char* first = nullptr;
    char* second = nullptr;
    int32_t i = 44;
    EXPECT_EQ(socket_unmarshal(link.rec, "zzi", &first, &second, &i), -1);
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first, "ab");
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(i, 44);
    EXPECT_TRUE(link.rec->flags & SOCK_FAILED);
    quorvel_mem_free(first);
}

TEST(Unmarshal, PeerClosingInsideAStringLeavesItsBlockWithTheCaller)
{
    Link link;
    link.put(checksum("z") + be32(10) + "abcd");
    link.close_peer();
    char* z = nullptr;
    EXPECT_EQ(socket_unmarshal(link.rec, "z", &z), -1);
    ASSERT_NE(z, nullptr);
    EXPECT_STREQ(z, "abcd"); // the bytes that never came are zeros
    quorvel_mem_free(z);
}

TEST(Unmarshal, PeerClosingInsideTheChecksumOrALengthFails)
{
    {
        Link link;
        link.put(bytes({1, 2}));
        link.close_peer();
        int32_t i = 3;
        EXPECT_EQ(socket_unmarshal(link.rec, "i", &i), -1);
        EXPECT_EQ(i, 3);
    }
    {
        Link link;
        link.put(checksum("iz") + bytes({0, 0, 0, 1, 0, 0}));
        link.close_peer();
        int32_t i = 3;
        char* z = reinterpret_cast<char*>(&i); // must be replaced by NULL
        EXPECT_EQ(socket_unmarshal(link.rec, "iz", &i, &z), -1);
        EXPECT_EQ(i, 1);
        EXPECT_EQ(z, nullptr);
    }
}

TEST(Unmarshal, StringLengthOfTwoGibibytesOrMoreIsRefusedWithoutAllocating)
{
    qtest::ErrorLog log;
    quorvel_init();
    ASSERT_EQ(thread_heap_attach(65536), 0);
    void* probe = quorvel_mem_alloc(1); // makes the pool
    ASSERT_NE(thread_heap_current(), nullptr);
    for (uint32_t length : {0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu}) {
        Link link;
        uint32_t in_use = thread_heap_current()->in_use;
        link.put(checksum("iz") + be32(5) + be32(length) + "abc");
        int32_t i = 0;
        char* z = nullptr;
        EXPECT_EQ(socket_unmarshal(link.rec, "iz", &i, &z), -1);
        qtest::expect_report(log,
                             "error (quorvel_socket_vunmarhsal, 10129): insufficient memory to "
                             "perform operation\n",
                             ENOMEM, 8);
        EXPECT_EQ(i, 5);
        EXPECT_EQ(z, nullptr);
        EXPECT_EQ(thread_heap_current()->in_use, in_use);
    }
    quorvel_mem_free(probe);
    thread_heap_detach();
}

TEST(Unmarshal, NullPlaceIsRefusedBeforeItsField)
{
    qtest::ErrorLog log;
    Link link;
    link.put(checksum("zi") + be32(1) + "x" + be32(4));
    char* z = nullptr;
    EXPECT_EQ(socket_unmarshal(link.rec, "zi", &z, static_cast<int32_t*>(nullptr)), -1);
    qtest::expect_report(log, "error (socket_vunmarshal, 10140): null argument passed\n", EINVAL,
                         160);
    EXPECT_EQ(z, nullptr);
}

TEST(MarshalExports, RefuseMissingAndForeignEnvelopes)
{
    qtest::ErrorLog log;
    quorvel_init();
    int32_t i = 0;
    EXPECT_EQ(quorvel_marshal(nullptr, "i", 1), -1);
    qtest::expect_report(log, "error (quorvel_marshal, 16928): null argument passed\n", EINVAL,
                         160);
    EXPECT_EQ(quorvel_unmarshal(nullptr, "i", &i), -1);
    qtest::expect_report(log, "error (quorvel_unmarshal, 16985): null argument passed\n", EINVAL,
                         160);

    envelope* mutex = quorvel_obj_create(quorvel_obj_mutex);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(quorvel_marshal(mutex, "i", 1), -1);
    qtest::expect_report(
        log, "error (quorvel_marshal, 16951): operation not supported for provided object\n",
        EINVAL, 160);
    EXPECT_EQ(quorvel_unmarshal(mutex, "i", &i), -1);
    qtest::expect_report(
        log, "error (quorvel_unmarshal, 17008): operation not supported for provided object\n",
        EINVAL, 160);
    EXPECT_EQ(quorvel_obj_destroy(mutex), 0);

    envelope empty{quorvel_obj_stream, nullptr, 0};
    EXPECT_EQ(quorvel_marshal(&empty, "i", 1), -1);
    qtest::expect_report(log, "error (quorvel_marshal, 16928): null argument passed\n", EINVAL,
                         160);
}

TEST(MarshalExports, StreamEnvelopesPassThrough)
{
    Duplex pair;
    envelope out{quorvel_obj_stream, pair.a, 0};
    envelope in{quorvel_obj_stream, pair.b, 0};
    ASSERT_EQ(quorvel_marshal(&out, "lzs", -9L, "ok", 300), 0);
    ASSERT_EQ(socket_flush(pair.a), 0);
    long l = 0;
    char* z = nullptr;
    int16_t s = 0;
    ASSERT_EQ(quorvel_unmarshal(&in, "lzs", &l, &z, &s), 0);
    EXPECT_EQ(l, -9L);
    EXPECT_STREQ(z, "ok");
    EXPECT_EQ(s, 300);
    quorvel_mem_free(z);
    EXPECT_EQ(quorvel_marshal(&out, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
}
