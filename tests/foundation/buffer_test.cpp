#include "foundation/buffer.h"

#include "core/report.h"
#include "support/support.h"

#include <cerrno>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <string>

using namespace quorvel;

namespace {

std::string contents(const buffer* b)
{
    return std::string(b->data, buffer_getinuse(b));
}

const std::string no_memory = "insufficient memory to perform operation\n";

} // namespace

TEST(Buffer, PutGetAndDupAreBoundedByFreeAndReadableBytes)
{
    buffer* b = buffer_create(14);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->data, reinterpret_cast<char*>(b + 1)); // one block
    EXPECT_EQ(buffer_put(b, "0123456789", 10), 10);
    EXPECT_EQ(buffer_put(b, "abcdefghij", 10), 4);
    EXPECT_EQ(buffer_put(b, "k", 1), 0);
    EXPECT_STREQ(b->data, "0123456789abcd"); // readable as a string when full
    char out[32] = {};
    EXPECT_EQ(buffer_get(b, out, 3), 3u);
    buffer* copy = buffer_dup(b);
    EXPECT_NE(copy->data, b->data);
    EXPECT_EQ(buffer_getcapacity(copy), 14u);
    EXPECT_EQ(buffer_canread(copy), 11u);
    EXPECT_EQ(contents(copy), "0123456789abcd");
    buffer_destroy(&copy);
    EXPECT_EQ(buffer_get(b, out + 3, 30), 11u);
    EXPECT_STREQ(out, "0123456789abcd");
    EXPECT_EQ(buffer_getpos(b), 14); // a drained buffer keeps its positions
    buffer_destroy(&b);
    EXPECT_EQ(b, nullptr);
}

TEST(Buffer, GrowthKeepsContents)
{
    buffer* b = buffer_create(16);
    buffer_put(b, "0123456789abcdef", 16);
    char skip[3];
    buffer_get(b, skip, 3);
    EXPECT_EQ(buffer_push(&b, "ghijklmnop", 10, 100), 10);
    EXPECT_EQ(buffer_getcapacity(b), 117u);
    EXPECT_EQ(contents(b), "0123456789abcdefghijklmnop");
    EXPECT_EQ(buffer_getpos(b), 3);
    // A count above the step grows by the count; the pushed bytes may be the buffer's own.
    EXPECT_EQ(buffer_push(&b, b->data, 100, 50), 100);
    EXPECT_EQ(buffer_getcapacity(b), 117u + 1 + 100);
    EXPECT_EQ(contents(b).substr(26, 26), "0123456789abcdefghijklmnop");
    buffer_destroy(&b);

    ASSERT_EQ(buffer_printf(&b, "hello %d", 42), 0); // creates the buffer
    ASSERT_EQ(buffer_printf(&b, ", %s", "world"), 0);
    EXPECT_EQ(contents(b), "hello 42, world");
    buffer_get(b, skip, 1);
    for (size_t n : {1023u, 1024u, 5000u}) { // around and past the stack area
        std::string text(n, static_cast<char>('a' + n % 26));
        std::string expected = contents(b) + text;
        ASSERT_EQ(buffer_printf(&b, "%s", text.c_str()), 0);
        EXPECT_EQ(buffer_getcapacity(b), expected.size() + 1 + 512);
        EXPECT_EQ(contents(b), expected);
        EXPECT_EQ(buffer_getpos(b), 0); // a grown buffer is read from its start
    }
    buffer_destroy(&b);
}

TEST(Buffer, ResizeReplacesTheDataAreaAlsoOfInlineBuffers)
{
    alignas(buffer) unsigned char area[buffer_block_size(16)] = {};
    buffer* b = buffer_init_inline(area, 16);
    ASSERT_EQ(static_cast<void*>(b), static_cast<void*>(area));
    buffer_put(b, "abc", 3);
    ASSERT_EQ(buffer_resize(b, 16), 0); // same size: cleared in place
    EXPECT_EQ(buffer_getinuse(b), 0u);
    EXPECT_EQ(b->data[0], '\0');
    ASSERT_EQ(buffer_resize(b, 32), 0);
    EXPECT_FALSE(b->data >= reinterpret_cast<char*>(area) &&
                 b->data < reinterpret_cast<char*>(area) + sizeof(area));
    EXPECT_EQ(buffer_put(b, std::string(40, 'q').data(), 40), 32);
    EXPECT_EQ(std::strlen(b->data), 32u);
    buffer_release_inline(&b); // frees the grown area, leaves `area` alone
    EXPECT_EQ(b, nullptr);
}

TEST(Buffer, FailuresWriteTheirLines)
{
    qtest::ErrorLog log;
    buffer none{}; // a record without data area
    buffer* b = buffer_create(4);
    buffer_put(b, "abcd", 4);
    buffer* before = b;
    const std::string null_arg = "null argument passed\n", bad = "null or invalid argument\n";
    const struct {
        std::function<long()> call;
        long result;
        std::string line;
        int err;
        uint32_t last;
    } cases[] = {
        {[&] { return long{buffer_create(0) != nullptr}; }, 0, "buffer_create, 4911): " + bad,
         EINVAL, 160},
        {[&] { return long{buffer_getinuse(&none)}; }, 0, "buffer_getinuse, 3793): " + null_arg,
         EINVAL, 160},
        {[&] { return long{buffer_canread(&none)}; }, 0, "buffer_canread, 4270): " + bad, EINVAL,
         160},
        {[&] { return long{buffer_push(&b, nullptr, 1, 1)}; }, -1, "buffer_push, 4569): " + bad,
         EINVAL, 160},
        {[&] { return long{buffer_create(UINT32_MAX) != nullptr}; }, 0,
         "buffer_create, 4925): " + no_memory, ENOMEM, 8},
        {[&] { return long{buffer_push(&b, "x", UINT32_MAX, 0)}; }, -1,
         "buffer_push, 4588): " + no_memory, ENOMEM, 8},
    };
    for (const auto& f : cases) {
        SCOPED_TRACE(f.line);
        EXPECT_EQ(f.call(), f.result);
        qtest::expect_report(log, "error (" + f.line, f.err, f.last);
    }
    EXPECT_EQ(b, before);
    EXPECT_EQ(contents(b), "abcd");
    // A failed resize leaves no data area; formatted text still starts a new one.
    EXPECT_EQ(buffer_resize(b, UINT32_MAX), -1);
    qtest::expect_report(log, "error (buffer_resize, 4867): " + no_memory, ENOMEM, 8);
    EXPECT_EQ(buffer_getcapacity(b), 0u);
    EXPECT_EQ(buffer_printf(&b, "again"), 0);
    EXPECT_EQ(contents(b), "again");
    buffer_destroy(&b);
}
