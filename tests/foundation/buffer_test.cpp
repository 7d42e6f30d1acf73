#include "foundation/buffer.h"

#include "core/report.h"
#include "support/support.h"

using namespace quorvel;
using namespace qtest;

static std::string contents(const buffer* b)
{
    return std::string(b->data, buffer_getinuse(b));
}

TEST(Buffer, PutGetAndDupAreBoundedByFreeAndReadableBytes)
{
    buffer* b = buffer_create(14);
    EXPECT_EQ(b->data, reinterpret_cast<char*>(b + 1)); // one block
    EXPECT_EQ(buffer_put(b, "0123456789", 10), 10);
    EXPECT_EQ(buffer_put(b, "abcdefghij", 10), 4);
    EXPECT_EQ(buffer_put(b, "k", 1), 0);
    EXPECT_STREQ(b->data, "0123456789abcd"); // readable as a string when full
    char out[32] = {};
    EXPECT_EQ(buffer_get(b, out, 3), 3u);
    buffer* copy = buffer_dup(b);
    EXPECT_EQ(buffer_canread(copy), 11u);
    EXPECT_EQ(contents(copy), "0123456789abcd");
    buffer_destroy(&copy);
    EXPECT_EQ(buffer_get(b, out + 3, 30), 11u);
    EXPECT_STREQ(out, "0123456789abcd");
    buffer_destroy(&b);
}

TEST(Buffer, GrowthKeepsContents)
{
    buffer* b = buffer_create(16);
    buffer_put(b, "0123456789abcdef", 16);
    char skip[3];
    buffer_get(b, skip, 3);
    EXPECT_EQ(buffer_push(&b, "ghijklmnop", 10, 100), 10);
    EXPECT_EQ(buffer_getcapacity(b), 117u);
    EXPECT_EQ(buffer_getpos(b), 3);
    for (size_t n : {1023u, 1024u, 5000u}) { // around and past printf's stack area
        std::string text(n, static_cast<char>('a' + n % 26));
        std::string expected = contents(b) + text;
        ASSERT_EQ(buffer_printf(&b, "%s", text.c_str()), 0);
        EXPECT_EQ(contents(b), expected);
    }
    // A count above the step grows by the count; the pushed bytes may be the buffer's own.
    std::string before = contents(b);
    EXPECT_EQ(buffer_push(&b, b->data, buffer_getinuse(b), 1), static_cast<int>(before.size()));
    EXPECT_EQ(contents(b), before + before);
    buffer_destroy(&b);
}

TEST(Buffer, ResizeReplacesTheDataAreaAlsoOfInlineBuffers)
{
    alignas(buffer) unsigned char area[buffer_block_size(16)] = {};
    buffer* b = buffer_init_inline(area, 16);
    buffer_put(b, "abc", 3);
    ASSERT_EQ(buffer_resize(b, 32), 0);
    EXPECT_EQ(buffer_getinuse(b), 0u);
    EXPECT_FALSE(b->data >= reinterpret_cast<char*>(area) &&
                 b->data < reinterpret_cast<char*>(area) + sizeof(area));
    EXPECT_EQ(buffer_put(b, std::string(40, 'q').data(), 40), 32);
    EXPECT_EQ(std::strlen(b->data), 32u);
    buffer_release_inline(&b); // frees the grown area, leaves `area` alone
}

TEST(Buffer, FailuresWriteTheirLines)
{
    ErrorLog log;
    buffer none{}; // a record without data area
    buffer* b = buffer_create(4);
    buffer_put(b, "abcd", 4);
    const std::string no_memory = "insufficient memory to perform operation\n";
    EXPECT_EQ(buffer_create(0), nullptr);
    expect_report(log, "error (buffer_create, 4911): null or invalid argument\n", EINVAL, 160);
    EXPECT_EQ(buffer_canread(&none), 0u);
    expect_report(log, "error (buffer_canread, 4270): null or invalid argument\n", EINVAL, 160);
    EXPECT_EQ(buffer_create(UINT32_MAX), nullptr);
    expect_report(log, "error (buffer_create, 4925): " + no_memory, ENOMEM, 8);
    EXPECT_EQ(buffer_push(&b, "x", UINT32_MAX, 0), -1);
    expect_report(log, "error (buffer_push, 4588): " + no_memory, ENOMEM, 8);
    EXPECT_EQ(contents(b), "abcd");
    // A failed resize leaves no data area; formatted text still starts a new one.
    EXPECT_EQ(buffer_resize(b, UINT32_MAX), -1);
    expect_report(log, "error (buffer_resize, 4867): " + no_memory, ENOMEM, 8);
    EXPECT_EQ(buffer_printf(&b, "again"), 0);
    EXPECT_EQ(contents(b), "again");
    buffer_destroy(&b);
}
