// Text files as HTML-safe lines: every byte other than letters, digits and a few harmless
// signs becomes a numeric character reference, so a file's text shows as it is in a page.
#include "net/uuencode.h"

#include "core/guard.h"
#include "core/report.h"
#include "net/socket_io.h"
#include "platform/files.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace quorvel {

namespace {

// Room for one numeric character reference "&#255;".
constexpr int REFERENCE_SIZE = 8;

bool kept_as_is(unsigned char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return c != 0 && std::strchr("/*+-# \\\t", c) != nullptr;
}

// Encodes one piece of a text line and sends it with its line end.
int send_encoded(socket* s, const char* piece, uint32_t count)
{
    char out[UUENCODE_AREA];
    size_t used = 0;
    for (uint32_t i = 0; i < count; ++i) {
        auto c = static_cast<unsigned char>(piece[i]);
        if (c == 0 || c == '\n' || c == '\r')
            break;
        char reference[REFERENCE_SIZE];
        int n = 1;
        if (kept_as_is(c))
            reference[0] = static_cast<char>(c);
        else
            n = std::snprintf(reference, sizeof(reference), "&#%d;", c);
        // The line end and the terminator must still fit behind it.
        if (used + static_cast<size_t>(n) + 3 > sizeof(out)) {
            report("quorvel_file_uuencode", 5605, fault::no_space, "internal buffer too small\n");
            return -1;
        }
        std::memcpy(out + used, reference, static_cast<size_t>(n));
        used += static_cast<size_t>(n);
    }
    out[used++] = '\r';
    out[used++] = '\n';
    out[used] = '\0';
    return socket_snd(s, out, static_cast<uint32_t>(used)) < 0 ? -1 : 0;
}

// Reads a file byte by byte through a block of its own.
class byte_reader {
public:
    explicit byte_reader(int fd) : fd_(fd) {}
    // The next byte, or -1 at the end of the file or on a failed read (failed() tells).
    int next()
    {
        if (pos_ == end_ && !refill())
            return -1;
        return static_cast<unsigned char>(block_[pos_++]);
    }
    bool failed() const { return failed_; }

private:
    bool refill()
    {
        ssize_t n;
        do {
            n = ::read(fd_, block_, sizeof(block_));
        } while (n < 0 && errno == EINTR);
        if (n <= 0) {
            failed_ = n < 0;
            return false;
        }
        pos_ = 0;
        end_ = static_cast<size_t>(n);
        return true;
    }
    int fd_;
    size_t pos_ = 0;
    size_t end_ = 0;
    bool failed_ = false;
    char block_[8192];
};

} // namespace

int quorvel_file_uuencode(socket* s, const char* path)
{
    if (s == nullptr || path == nullptr) {
        set_fault(fault::bad_arg);
        return -1;
    }
    fd_guard file(open_regular(path));
    if (file.get() == -1)
        return -1;
    return socket_uuencode_fd(s, file.get());
}

int socket_uuencode_fd(socket* s, int file)
{
    if (s == nullptr) {
        set_fault(fault::bad_arg);
        return -1;
    }
    byte_reader reader(file);
    char piece[UUENCODE_LINE];
    uint32_t count = 0;
    // A piece that continues a line already sent in part; its line end alone is no line.
    bool continued = false;
    int rc = 0;
    for (;;) {
        int c = reader.next();
        if (c < 0)
            break;
        if (c == '\n') {
            if (!(continued && count == 1 && piece[0] == '\r'))
                rc = send_encoded(s, piece, count);
            count = 0;
            continued = false;
        } else {
            if (count == UUENCODE_LINE) {
                rc = send_encoded(s, piece, count);
                count = 0;
                continued = true;
            }
            piece[count++] = static_cast<char>(c);
        }
        if (rc != 0)
            break;
    }
    if (rc == 0 && reader.failed())
        rc = -1;
    if (rc == 0 && count > 0 && !(continued && count == 1 && piece[0] == '\r'))
        rc = send_encoded(s, piece, count);
    return rc;
}

} // namespace quorvel
