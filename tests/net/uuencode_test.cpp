#include "net/uuencode.h"

#include "net/socket.h"
#include "net/socket_io.h"
#include "support/wire.h"

using namespace quorvel;
using namespace qtest;

// Encodes a file holding `text` and returns what the peer received; `rc` the errno or 0.
static std::string encode(const std::string& text, int* rc = nullptr)
{
    TempDir dir;
    SocketPair pair;
    quorvel::socket* s = connection(pair.mine);
    int result = quorvel_file_uuencode(s, dir.write("t.txt", text).c_str());
    *(rc != nullptr ? rc : &result) = result == 0 ? 0 : errno;
    EXPECT_EQ(socket_flush(s), 0);
    socket_destroy(&s);
    return read_to_end(pair.peer);
}

TEST(Uuencode, EscapesMarkupAndCutsLongLines)
{
    std::string refs;
    for (int i = 0; i < 426; ++i)
        refs += "&#255;";
    const std::string full(511, 'y');
    const struct {
        std::string in, out;
    } rows[] = {
        {"a<b>&c x/y*z+1-2#3 \\\t.;\"'\n",
         "a&#60;b&#62;&#38;c x/y*z+1-2#3 \\\t&#46;&#59;&#34;&#39;\r\n"},
        // Line ends of either kind, a last line without one, a NUL or CR cutting a line.
        {"ab\r\ncd\r\n\r\nlast", "ab\r\ncd\r\n\r\nlast\r\n"},
        {std::string("a\0b\nc\rd\n", 8), "a\r\nc\r\n"},
        // Pieces of 511 characters; a line of exactly 511 is one line.
        {std::string(600, 'x') + "\nz\n",
         std::string(511, 'x') + "\r\n" + std::string(89, 'x') + "\r\nz\r\n"},
        {full + "\n" + full + "\r\n" + full, full + "\r\n" + full + "\r\n" + full + "\r\n"},
        // 426 references of 6 bytes with CR LF and the terminator fill 2559 bytes.
        {std::string(426, '\xFF') + "\n", refs + "\r\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.in);
        EXPECT_EQ(encode(row.in), row.out);
    }
    // 427 do not fit; the lines before it have been sent.
    ErrorLog log;
    int rc = 0;
    EXPECT_EQ(encode("ok\n" + std::string(427, '\xFF') + "\n", &rc), "ok\r\n");
    EXPECT_EQ(rc, ENOSPC);
    EXPECT_EQ(log.text(), "error (quorvel_file_uuencode, 5605): internal buffer too small\n");
    EXPECT_EQ(quorvel_file_uuencode(nullptr, "unused"), -1);
}
