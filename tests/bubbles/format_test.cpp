// The registration data of bubble files: its bytes, the writer's refusals (which leave the file
// untouched), a write that fails half-way (which leaves the file as it was), and the lister on
// good and damaged files.
#include "bubbles/format.h"

#include "quorvel.h"
#include "support/support.h"

#include <csignal>
#include <sys/resource.h>

using namespace quorvel;

namespace {

std::string le32(uint32_t v)
{
    return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}

class BubbleFile : public ::testing::Test {
protected:
    // A stand-in for a library: 100 bytes that are not registration data.
    std::string library = std::string(100, 'L');
    qtest::TempDir dir;
    std::string path = dir.write("plug.bbl", library);

    std::string bytes() const { return qtest::read_file(path); }
    int add_mime(const char* name, const char* extension, const char* type, int encoding)
    {
        return quorvel_bubble_assign_prop(path.c_str(), QUORVEL_PROP_MIME, name, extension, type,
                                          encoding);
    }
    std::string list()
    {
        testing::internal::CaptureStdout();
        int rc = quorvel_bubble_pinfo(path.c_str());
        return std::to_string(rc) + ":" + testing::internal::GetCapturedStdout();
    }
};

} // namespace

TEST_F(BubbleFile, RecordsAppendBehindTheLibraryAndTheTrailerMoves)
{
    // A MIME property of 52 bytes in all: count, record, header offset and tag.
    ASSERT_EQ(add_mime("render", ".xyz", "text/x-xyz", QUORVEL_ENC_TEXT), 0);
    std::string mime = std::string("\x10\0", 2) + le32(6) + "render" + le32(3) + "xyz" + le32(10) +
                       "text/x-xyz" + le32(1);
    EXPECT_EQ(bytes(), library + le32(1) + mime + le32(100) + "stagend");
    EXPECT_EQ(bytes().size(), library.size() + 52);
    // A second record raises the count and moves the trailer behind it.
    ASSERT_EQ(quorvel_bubble_assign_prop(path.c_str(), QUORVEL_PROP_URI | QUORVEL_GET, "page",
                                         QUORVEL_ENC_BINARY, "/p"),
              0);
    ASSERT_EQ(quorvel_bubble_assign_prop(path.c_str(), QUORVEL_PROP_PROTOCOL, "chat"), 0);
    std::string uri = std::string("\x22\0", 2) + le32(4) + "page" + le32(2) + "/p" + le32(0);
    std::string protocol = std::string("\x08\0", 2) + le32(4) + "chat";
    EXPECT_EQ(bytes(), library + le32(3) + mime + uri + protocol + le32(100) + "stagend");
    EXPECT_EQ(list(), "0:\nregistered properties:\n"
                      "================================================\n"
                      "property: render\ntype: MIME\nextension: xyz\ndescription: text/x-xyz\n"
                      "encoding: text\n\n"
                      "property: page\ntype: URI\nmethod: GET\nurl: /p\n\n"
                      "property: chat\ntype: USER DEFINED PROTOCOL\nprotocol name: chat\n\n");
}

TEST_F(BubbleFile, RefusedArgumentsLeaveTheFileUntouched)
{
    ASSERT_EQ(add_mime("render", "xyz", "text/x-xyz", QUORVEL_ENC_TEXT), 0);
    const std::string before = bytes();
    const std::pair<std::function<int()>, std::string> refusals[] = {
        {[&] { return add_mime("", "xyz", "t/t", 1); }, "could not write property name!\n"},
        {[&] { return add_mime(nullptr, "xyz", "t/t", 1); }, "could not write property name!\n"},
        {[&] { return add_mime("f", nullptr, "t/t", 1); }, "invalid extension!\n"},
        {[&] { return add_mime("f", ".", "t/t", 1); }, "invalid extension!\n"},
        {[&] { return add_mime("f", "x", nullptr, 1); }, "invalid description!\n"},
        {[&] { return add_mime("f", "x", "t/t", 2); }, "unsupported encoding!\n"},
        {[&] { return quorvel_bubble_assign_prop(path.c_str(), QUORVEL_PROP_URI, "f", 2, "/u"); },
         "unsupported encoding!\n"},
        {[&] {
             return quorvel_bubble_assign_prop(path.c_str(), QUORVEL_PROP_URI, "f", 1, nullptr);
         },
         "uri not defined!\n"},
        {[&] { return quorvel_bubble_assign_prop(path.c_str(), 0x40, "f"); },
         "invalid property type!\n"},
        // Read back, this would be a protocol followed by the URL's bytes as another record.
        {[&] {
             return quorvel_bubble_assign_prop(
                 path.c_str(), QUORVEL_PROP_URI | QUORVEL_PROP_PROTOCOL | QUORVEL_GET, "f", 1,
                 "/u");
         },
         "invalid property type!\n"},
        {[&] {
             return quorvel_bubble_assign_prop(dir.file("none").c_str(), QUORVEL_PROP_PROTOCOL,
                                               "f");
         },
         "could not open file!: No such file or directory\n"},
    };
    for (const auto& [call, text] : refusals) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(call(), -1) << text;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), text);
        EXPECT_EQ(bytes(), before) << text;
    }
}

TEST_F(BubbleFile, AWriteThatFailsHalfWayLeavesTheFileAsItWas)
{
    ASSERT_EQ(add_mime("render", "xyz", "text/x-xyz", QUORVEL_ENC_TEXT), 0);
    const std::string before = bytes();
    // The file may not grow by more than a few bytes: the record's write fails part-way.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    rlimit tight = limit;
    tight.rlim_cur = before.size() + 8;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    testing::internal::CaptureStderr();
    int rc = add_mime("another", "abc", "text/x-abc", QUORVEL_ENC_BINARY);
    std::string said = testing::internal::GetCapturedStderr();
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(said.starts_with("could not write")) << said;
    EXPECT_EQ(bytes(), before);
    EXPECT_TRUE(list().starts_with("0:"));
}

TEST_F(BubbleFile, TheListerStopsAtWhatTheFileCannotHold)
{
    const std::string count_at = le32(100);
    const std::pair<std::string, std::string> files[] = {
        {"short", "-1:not a bubble file!\n"},
        {library, "-1:not a bubble file!\n"},
        {library + le32(0) + count_at + "stagend", "-1:no properties defined!\n"},
        // The header offset points into the trailer or beyond the file.
        {library + le32(1) + le32(200) + "stagend", "-1:seek error, invalid bubble file!\n"},
        // A name longer than the file, and a text longer than the lister takes.
        {library + le32(1) + std::string("\x08\0", 2) + le32(1000) + "ab" + count_at + "stagend",
         "-1:\nregistered properties:\n================================================\n"
         "read error, reading function name!\n"},
        {library + le32(1) + std::string("\x22\0", 2) + le32(1) + "f" + le32(5000) +
             std::string(5000, 'u') + le32(1) + count_at + "stagend",
         "-1:\nregistered properties:\n================================================\n"
         "property: f\ntype: URI\nmethod: GET\n\n\nerror: could not read url!\n"},
        // A URI with neither method bit, and a count larger than the records.
        {library + le32(5) + std::string("\x20\0", 2) + le32(1) + "f" + le32(2) + "/u" + le32(1) +
             count_at + "stagend",
         "0:\nregistered properties:\n================================================\n"
         "property: f\ntype: URI\nmethod: UNKNOWN\nurl: /u\n\n"},
    };
    for (const auto& [content, listing] : files) {
        dir.write("plug.bbl", content);
        EXPECT_EQ(list(), listing) << content.size();
    }
}
