#include "net/marshal.h"

#include "core/thread_heap.h"
#include "foundation/htable.h"
#include "net/socket.h"
#include "net/socket_io.h"
#include "support/wire.h"

#include <bit>
#include <cfloat>
#include <cmath>
#include <functional>
#include <random>

using namespace quorvel;
using namespace qtest;

namespace {

int socket_marshal(quorvel::socket* s, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = socket_vmarshal(s, format, args);
    va_end(args);
    return result;
}

int socket_unmarshal(quorvel::socket* s, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = socket_vunmarshal(s, format, args);
    va_end(args);
    return result;
}

// Two records joined by a socket pair; `put` and `sent` play a raw peer against `a`.
struct Link {
    SocketPair pair;
    quorvel::socket* a = connection(pair.mine);
    quorvel::socket* b = connection(::dup(pair.peer));
    ~Link()
    {
        ::shutdown(pair.peer, SHUT_WR); // lets each close see the other end finish at once
        socket_destroy(&a);
        socket_destroy(&b);
    }
    void put(const std::string& bytes, bool close = false)
    {
        send_all(pair.peer, bytes);
        if (close)
            ::shutdown(pair.peer, SHUT_WR);
    }
    std::string sent()
    {
        EXPECT_EQ(socket_flush(a), 0);
        return read_some(pair.peer, 4096, 20);
    }
};

} // namespace

static std::string be32(uint32_t v)
{
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

static std::string checksum(const char* format)
{
    return be32(hash_bytes(format, static_cast<uint32_t>(std::strlen(format))));
}

static std::string bytes(std::initializer_list<int> list)
{
    return std::string(list.begin(), list.end());
}

TEST(Ieee754, NormalValuesPackExactlyAndTheRestIsRefused)
{
    uint64_t p = 0;
    auto exact = [&p](auto value, auto bits, int size, int exponent) {
        if (std::fpclassify(value) != FP_NORMAL)
            return;
        ASSERT_EQ(pack_ieee754(value, size, exponent, &p), 0) << value;
        ASSERT_EQ(p, bits);
        auto back = static_cast<decltype(value)>(unpack_ieee754(p, size, exponent));
        ASSERT_EQ(std::bit_cast<decltype(bits)>(back), bits);
    };
    std::mt19937_64 rng(20240611);
    for (int i = 0; i < 20000; ++i) {
        uint64_t bits = rng();
        exact(std::bit_cast<double>(bits), bits, 64, 11);
        exact(std::bit_cast<float>(uint32_t(bits)), uint32_t(bits), 32, 8);
    }
    for (double d : {DBL_MIN, -DBL_MAX})
        exact(d, std::bit_cast<uint64_t>(d), 64, 11);
    for (float f : {FLT_MIN, -FLT_MAX})
        exact(f, std::bit_cast<uint32_t>(f), 32, 8);
    ASSERT_EQ(pack_ieee754(0.1, 32, 8, &p), 0); // rounded to the nearest float
    EXPECT_EQ(p, std::bit_cast<uint32_t>(0.1f));
    const double inf = HUGE_VAL, nan = NAN;
    p = 77;
    for (double d : {inf, -inf, nan, DBL_MIN / 2, DBL_TRUE_MIN})
        EXPECT_EQ(pack_ieee754(d, 64, 11, &p), -1) << d;
    for (double d : {inf, nan, double{FLT_MIN} / 2, 1e39, -1e39})
        EXPECT_EQ(pack_ieee754(d, 32, 8, &p), -1) << d;
    EXPECT_EQ(p, 77u);
    // Patterns a sender never makes still decode as the standard says.
    EXPECT_EQ(unpack_ieee754(0x0000000000000001, 64, 11), DBL_TRUE_MIN);
    EXPECT_EQ(unpack_ieee754(0x7F800000, 32, 8), inf);
    EXPECT_TRUE(std::isnan(unpack_ieee754(0x7FC00000, 32, 8)));
}

TEST(Marshal, WireBytesAndRefusals)
{
    ErrorLog log;
    Link link;
    const struct {
        std::function<int()> call;
        std::string wire;
        std::string line; // empty for a success
    } rows[] = {
        {[&] { return socket_marshal(link.a, "i", 1); }, checksum("i") + bytes({0, 0, 0, 1}), ""},
        {[&] { return socket_marshal(link.a, "f", 1.0); },
         checksum("f") + bytes({0, 0, 0x80, 0x3F}), ""},
        {[&] { return socket_marshal(link.a, "d", 1.0); },
         checksum("d") + bytes({0, 0, 0, 0, 0, 0, 0xF0, 0x3F}), ""},
        {[&] { return socket_marshal(link.a, "fd", -0.0, -0.0); },
         checksum("fd") + std::string(12, '\0'), ""},
        {[&] { return socket_marshal(link.a, "z", ""); }, checksum("z") + be32(0), ""},
        // y one byte, s two, l the low 32 bits of a long, all most significant first.
        {[&] { return socket_marshal(link.a, "ysilz", 0x1AB, 0x12345, -2, 0x123456789AL, "hi"); },
         checksum("ysilz") +
             bytes({0xAB, 0x23, 0x45, 0xFF, 0xFF, 0xFF, 0xFE, 0x34, 0x56, 0x78, 0x9A}) + be32(2) +
             "hi",
         ""},
        // A refused field stops the record after the earlier ones.
        {[&] { return socket_marshal(link.a, "idi", 1, std::nan(""), 2); },
         checksum("idi") + be32(1),
         "error (socket_vmarshal, 10240): d value nan cannot be marshalled\n"},
        {[&] { return socket_marshal(link.a, "z", static_cast<const char*>(nullptr)); },
         checksum("z"), "error (socket_vmarshal, 10250): null argument passed\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        EXPECT_EQ(row.call(), row.line.empty() ? 0 : -1);
        EXPECT_EQ(log.text(), row.line);
        log.clear();
        EXPECT_EQ(link.sent(), row.wire);
    }
}

TEST(Marshal, RoundTripOfEveryReceivableTypeAcrossManyBufferFills)
{
    Link link;
    const char* format = "silfdzzz";
    std::string big(3 * 1024 * 1024 + 17, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + i % 26);
    // The sender blocks until the receiver has taken most of the bytes.
    int sent = -2;
    std::thread sender([&] {
        sent = socket_marshal(link.a, format, -32768, INT32_MIN, 0x1FFFFFFFFL, -3.25e38, DBL_MIN,
                              "", "a\nb\0c", big.c_str());
        if (sent == 0)
            sent = socket_flush(link.a);
    });
    int16_t s = 0;
    int32_t i = 0;
    long l = 0;
    float f = 0;
    double d = 0;
    char *z1 = nullptr, *z2 = nullptr, *z3 = nullptr;
    EXPECT_EQ(socket_unmarshal(link.b, format, &s, &i, &l, &f, &d, &z1, &z2, &z3), 0);
    sender.join();
    EXPECT_EQ(sent, 0);
    EXPECT_EQ(s, -32768);
    EXPECT_EQ(i, INT32_MIN);
    EXPECT_EQ(l, -1L); // the low 32 bits, sign-extended
    EXPECT_EQ(f, -3.25e38f);
    EXPECT_EQ(d, DBL_MIN);
    ASSERT_TRUE(z1 && z2 && z3);
    EXPECT_STREQ(z1, "");
    EXPECT_STREQ(z2, "a\nb"); // a string ends at its terminator
    EXPECT_TRUE(big == z3);
    for (char* z : {z1, z2, z3})
        quorvel_mem_free(z);
}

TEST(Unmarshal, MismatchByteFieldAndBrokenInputKeepNoStrayBlock)
{
    ErrorLog log;
    // A format mismatch reads nothing further: the fields stay in the stream.
    {
        Link link;
        link.put(checksum("il") + bytes({0, 0, 0, 5, 0, 0, 0, 6}));
        int32_t a = 11;
        EXPECT_EQ(socket_unmarshal(link.a, "ii", &a, &a), -1);
        expect_report(log,
                      "error (socket_vunmarshal, 10027): format mismatch checksum=" +
                          std::to_string(int(hash_bytes("ii", 2))) + ",checksumin=" +
                          std::to_string(int(hash_bytes("il", 2))) + " expected \"ii\"\n",
                      EINVAL, 160);
        EXPECT_EQ(a, 11);
        char rest[8];
        ASSERT_EQ(socket_rcv(link.a, rest, 8), 8);
        EXPECT_EQ(std::string(rest, 8), bytes({0, 0, 0, 5, 0, 0, 0, 6}));
    }
    // A refused or missing field gives the latest string back (ASan sees a leak); one cut
    // inside a string leaves it with the caller.
    const struct {
        std::string in;
        bool close;
        const char* format;
        const char* first;
        std::string line;
    } rows[] = {
        {checksum("iy") + be32(9) + "A", false, "iy", nullptr,
         "error (socket_vunmarshal, 10148): y is an invalid format identifier\n"},
        {checksum("zzq") + be32(2) + "ab" + be32(3) + "cde", false, "zzq", "ab",
         "error (socket_vunmarshal, 10148): q is an invalid format identifier\n"},
        {checksum("zzi") + be32(2) + "ab" + be32(3) + "cde" + bytes({0, 1}), true, "zzi", "ab", ""},
        {checksum("zi") + be32(10) + "abcd", true, "zi", "abcd", ""},
        {checksum("zi") + be32(1) + "x" + be32(4), false, "zi", nullptr,
         "error (socket_vunmarshal, 10140): null argument passed\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.format);
        Link link;
        link.put(row.in, row.close);
        char* first = nullptr;
        char* second = nullptr;
        int32_t i = 0;
        int32_t* last = row.format[1] == 'i' && !row.line.empty() ? nullptr : &i;
        EXPECT_EQ(row.format[0] == 'i' ? socket_unmarshal(link.a, row.format, &i)
                  : row.format[1] == 'i'
                      ? socket_unmarshal(link.a, row.format, &first, last)
                      : socket_unmarshal(link.a, row.format, &first, &second, &i),
                  -1);
        EXPECT_STREQ(first, row.first); // bytes that never came are zeros
        EXPECT_EQ(second, nullptr);
        EXPECT_EQ(log.text(), row.line);
        quorvel_mem_free(first);
        log.clear();
    }
}

TEST(Unmarshal, StringLengthOfTwoGibibytesOrMoreIsRefusedWithoutAllocating)
{
    ErrorLog log;
    quorvel_init();
    ASSERT_EQ(thread_heap_attach(65536), 0);
    void* probe = quorvel_mem_alloc(1); // makes the pool
    for (uint32_t length : {0x80000000u, 0xFFFFFFFFu}) {
        Link link;
        uint32_t in_use = thread_heap_current()->in_use;
        link.put(checksum("iz") + be32(5) + be32(length) + "abc");
        int32_t i = 0;
        char* z = nullptr;
        EXPECT_EQ(socket_unmarshal(link.a, "iz", &i, &z), -1);
        expect_report(log,
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
