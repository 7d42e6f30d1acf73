#include "foundation/buffer.h"

#include "core/report.h"
#include "support/support.h"

using namespace quorvel;
using namespace qtest;

static std::string contents(const buffer* b)
{
    return std::string(b->data, static_cast<size_t>(b->write_pos - b->data));
}

TEST(Buffer, OneBlockThatReadsAsAStringAndClearsToZero)
{
    buffer* b = buffer_create(14);
    EXPECT_EQ(b->data, reinterpret_cast<char*>(b + 1)); // one block
    std::memcpy(b->data, "0123456789abcd", 14);
    b->write_pos = b->data + 14;
    b->read_pos = b->data + 3;
    EXPECT_STREQ(b->data, "0123456789abcd"); // readable as a string when full
    EXPECT_EQ(buffer_clr(b), 0);
    EXPECT_EQ(b->read_pos, b->data);
    EXPECT_EQ(b->write_pos, b->data);
    EXPECT_EQ(std::string(b->data, 14), std::string(14, '\0'));
    buffer_destroy(&b);
    EXPECT_EQ(b, nullptr);
}

TEST(Buffer, PrintfAppendsAndGrowsAroundItsStackArea)
{
    buffer* b = nullptr;
    ASSERT_EQ(buffer_printf(&b, "%d-%s", 42, "x"), 0); // NULL starts a buffer
    EXPECT_EQ(contents(b), "42-x");
    for (size_t n : {1022u, 1023u, 1024u, 5000u}) { // around and past the stack area
        std::string text(n, static_cast<char>('a' + n % 26));
        std::string expected = contents(b) + text;
        ASSERT_EQ(buffer_printf(&b, "%s", text.c_str()), 0);
        EXPECT_EQ(contents(b), expected);
    }
    // Appending goes on from the first NUL of the contents; the read position follows back.
    b->read_pos = b->write_pos;
    b->data[2] = '\0';
    ASSERT_EQ(buffer_printf(&b, "%c", 'y'), 0);
    EXPECT_EQ(contents(b), "42y");
    EXPECT_LE(b->read_pos, b->write_pos);
    buffer_destroy(&b);
}

TEST(Buffer, FailuresWriteTheirLines)
{
    ErrorLog log;
    buffer none{}; // a record without data area
    const std::string no_memory = "insufficient memory to perform operation\n";
    EXPECT_EQ(buffer_create(0), nullptr);
    expect_report(log, "error (buffer_create, 4911): null or invalid argument\n", EINVAL, 160);
    EXPECT_EQ(buffer_clr(&none), -1);
    expect_report(log, "error (buffer_clr, 4457): null or invalid argument\n", EINVAL, 160);
    EXPECT_EQ(buffer_create(UINT32_MAX), nullptr);
    expect_report(log, "error (buffer_create, 4925): " + no_memory, ENOMEM, 8);
    EXPECT_EQ(buffer_printf(nullptr, "x"), -1);
    expect_report(log, "error (buffer_printf, 3848): null argument passed\n", EINVAL, 160);
    alignas(buffer) unsigned char area[buffer_block_size(16)] = {};
    EXPECT_EQ(buffer_init_inline(area, 16)->data, reinterpret_cast<char*>(area) + sizeof(buffer));
    EXPECT_EQ(buffer_init_inline(nullptr, 16), nullptr);
    expect_report(log, "", EINVAL, 160);
}
