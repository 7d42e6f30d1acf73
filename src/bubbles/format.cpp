// Bubble registration data. The writer checks every argument first, then appends the record
// and the new trailer behind the old records and raises the count last; when a write fails it
// puts back the file's length, trailer and count, so a full disk never leaves a plug-in that
// no longer loads. Readers check every length against what the file still holds.
#include "bubbles/format.h"

#include "core/guard.h"
#include "quorvel.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvel {

namespace {

// A text to standard error as it is, the writer's style for arguments it refuses.
int refuse(const char* text)
{
    std::fputs(text, stderr);
    return -1;
}

// A text and the system's reason, the writer's style for failures of the file.
int fail(const char* text)
{
    int error = errno;
    std::fprintf(stderr, "%s: %s\n", text, std::strerror(error));
    return -1;
}

uint32_t little_u32(const unsigned char* b)
{
    return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

bool write_at(int fd, const void* data, size_t length, off_t at)
{
    const auto* p = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t n = ::pwrite(fd, p, length, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        at += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool read_at(int fd, void* data, size_t length, off_t at)
{
    auto* p = static_cast<char*>(data);
    while (length > 0) {
        ssize_t n = ::pread(fd, p, length, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        at += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

void put_u32(unsigned char (&out)[4], uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<unsigned char>(value >> (8 * i));
}

// One piece of a record, written with the text that names it should the write fail.
struct piece {
    const void* data;
    size_t length;
    const char* failure;
};

// The pieces of one record, with the length fields they need.
class record_pieces {
public:
    void add(const void* data, size_t length, const char* failure)
    {
        pieces_[count_++] = piece{data, length, failure};
    }
    void add_text(const char* text, const char* failure)
    {
        size_t length = std::strlen(text);
        put_u32(lengths_[texts_], static_cast<uint32_t>(length));
        add(lengths_[texts_++], 4, failure);
        add(text, length, failure);
    }
    const piece* begin() const { return pieces_; }
    const piece* end() const { return pieces_ + count_; }

private:
    piece pieces_[10];
    size_t count_ = 0;
    unsigned char lengths_[3][4] = {};
    size_t texts_ = 0;
};

bool text_ok(const char* text)
{
    return text != nullptr && text[0] != '\0' && std::strlen(text) <= BUBBLE_TEXT_MAX;
}

// Checks every argument of the property and lays out its record; false after refusing it.
bool layout(const bubble_property& p, unsigned char (&type)[2], unsigned char (&encoding)[4],
            record_pieces& out)
{
    if (!text_ok(p.name))
        return refuse("could not write property name!\n"), false;
    type[0] = static_cast<unsigned char>(p.type);
    type[1] = static_cast<unsigned char>(p.type >> 8);
    out.add(type, 2, "could not write property type!");
    out.add_text(p.name, "could not write property name!");
    if (p.type & BUBBLE_MIME) {
        const char* extension = p.extension;
        if (extension != nullptr && extension[0] == '.')
            ++extension;
        if (!text_ok(extension))
            return refuse("invalid extension!\n"), false;
        if (!text_ok(p.description))
            return refuse("invalid description!\n"), false;
        if (p.encoding != QUORVEL_ENC_BINARY && p.encoding != QUORVEL_ENC_TEXT)
            return refuse("unsupported encoding!\n"), false;
        put_u32(encoding, static_cast<uint32_t>(p.encoding));
        out.add_text(extension, "could not write extension!");
        out.add_text(p.description, "could not write description!");
        out.add(encoding, 4, "could not write encoding!");
        return true;
    }
    if (p.type & BUBBLE_URI) {
        // The readers take a type that also has the protocol bit for a protocol, which has no
        // URL: written as a URI, its fields would be read as the records that follow.
        if (p.type & BUBBLE_PROTOCOL)
            return refuse("invalid property type!\n"), false;
        if (p.encoding != QUORVEL_ENC_BINARY && p.encoding != QUORVEL_ENC_TEXT)
            return refuse("unsupported encoding!\n"), false;
        if (!text_ok(p.url))
            return refuse("uri not defined!\n"), false;
        put_u32(encoding, static_cast<uint32_t>(p.encoding));
        out.add_text(p.url, "could not write uri!");
        out.add(encoding, 4, "could not write encoding!");
        return true;
    }
    if (p.type & BUBBLE_PROTOCOL)
        return true;
    return refuse("invalid property type!\n"), false;
}

} // namespace

bubble_reader::bubble_reader(std::FILE* file) : file_(file)
{
    struct stat status {};
    if (file_ != nullptr && ::fstat(::fileno(file_), &status) == 0)
        size_ = end_ = static_cast<int64_t>(status.st_size);
}

bool bubble_reader::seek(int64_t offset)
{
    return usable() && offset >= 0 && offset <= size_ && ::fseeko(file_, offset, SEEK_SET) == 0;
}

int64_t bubble_reader::remaining() const
{
    off_t at = usable() ? ::ftello(file_) : -1;
    return at < 0 || at > end_ ? 0 : end_ - at;
}

bool bubble_reader::at_end() const
{
    return remaining() == 0;
}

bool bubble_reader::read_bytes(char* out, uint32_t length)
{
    return int64_t{length} <= remaining() &&
           (length == 0 || std::fread(out, 1, length, file_) == length);
}

bool bubble_reader::read_u16(uint16_t* value)
{
    unsigned char b[2];
    if (!read_bytes(reinterpret_cast<char*>(b), sizeof(b)))
        return false;
    *value = static_cast<uint16_t>(b[0] | b[1] << 8);
    return true;
}

bool bubble_reader::read_u32(uint32_t* value)
{
    unsigned char b[4];
    if (!read_bytes(reinterpret_cast<char*>(b), sizeof(b)))
        return false;
    *value = little_u32(b);
    return true;
}

bubble_header bubble_read_header(bubble_reader& reader, uint32_t* offset, uint32_t* count)
{
    if (!reader.usable() || reader.size() < int64_t{BUBBLE_TAG.size()} ||
        !reader.seek(reader.size() - int64_t{BUBBLE_TAG.size()}))
        return bubble_header::seek_end;
    char tag[BUBBLE_TAG.size()];
    if (!reader.read_bytes(tag, sizeof(tag)))
        return bubble_header::read_tag;
    if (std::string_view(tag, sizeof(tag)) != BUBBLE_TAG)
        return bubble_header::no_tag;
    int64_t trailer = reader.size() - int64_t{BUBBLE_TRAILER_SIZE};
    if (trailer < 0 || !reader.seek(trailer))
        return bubble_header::seek_trailer;
    if (!reader.read_u32(offset))
        return bubble_header::read_offset;
    // The count lies in front of the trailer, never inside it.
    if (int64_t{*offset} + 4 > trailer || !reader.seek(*offset))
        return bubble_header::seek_offset;
    if (!reader.read_u32(count))
        return bubble_header::read_count;
    reader.end_at(trailer);
    return bubble_header::ok;
}

int bubble_assign_prop(const char* path, const bubble_property& property)
{
    // Every argument is checked before the file is opened.
    unsigned char type[2] = {};
    unsigned char encoding[4] = {};
    record_pieces record;
    if (!layout(property, type, encoding, record))
        return -1;

    fd_guard fd(path != nullptr ? ::open(path, O_RDWR | O_CLOEXEC) : -1);
    if (fd.get() < 0)
        return fail("could not open file!");
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0)
        return fail("seek error!");
    const off_t size = status.st_size;

    // An existing bubble: the new record replaces its trailer; otherwise the data starts at the
    // end with a count of 0.
    unsigned char trailer[BUBBLE_TRAILER_SIZE];
    bool bubble = size >= off_t{BUBBLE_TRAILER_SIZE} &&
                  read_at(fd.get(), trailer, sizeof(trailer), size - BUBBLE_TRAILER_SIZE) &&
                  std::memcmp(trailer + 4, BUBBLE_TAG.data(), BUBBLE_TAG.size()) == 0;
    uint32_t header = static_cast<uint32_t>(size);
    uint32_t count = 0;
    if (bubble) {
        header = little_u32(trailer);
        unsigned char stored[4];
        if (off_t{header} + 4 > size - off_t{BUBBLE_TRAILER_SIZE} ||
            !read_at(fd.get(), stored, sizeof(stored), header))
            return fail("error reading property count!");
        count = little_u32(stored);
    } else if (size > off_t{UINT32_MAX}) {
        errno = EFBIG;
        return fail("seek error!");
    }
    unsigned char raised[4];
    put_u32(raised, count + 1);
    unsigned char offset[4];
    put_u32(offset, header);
    unsigned char new_trailer[BUBBLE_TRAILER_SIZE];
    std::memcpy(new_trailer, offset, sizeof(offset));
    std::memcpy(new_trailer + sizeof(offset), BUBBLE_TAG.data(), BUBBLE_TAG.size());

    // The record and the new trailer go behind the old records (a new bubble's count first);
    // an existing bubble's count is raised last, once the rest is in place.
    off_t at = bubble ? size - off_t{BUBBLE_TRAILER_SIZE} : size;
    const char* failure = nullptr;
    if (!bubble && !write_at(fd.get(), raised, sizeof(raised), at))
        failure = "could not update property count!";
    at += bubble ? 0 : 4;
    for (const piece& p : record) {
        if (failure == nullptr && !write_at(fd.get(), p.data, p.length, at))
            failure = p.failure;
        at += static_cast<off_t>(p.length);
    }
    if (failure == nullptr && !write_at(fd.get(), new_trailer, sizeof(new_trailer), at))
        failure = "could not update header!";
    if (failure == nullptr && bubble && !write_at(fd.get(), raised, sizeof(raised), header))
        failure = "error writing property count!";
    if (failure != nullptr) {
        errno_saver keep;
        // The file as it was: its length, then the trailer the record began to replace.
        if (::ftruncate(fd.get(), size) == 0 && bubble)
            write_at(fd.get(), trailer, sizeof(trailer), size - off_t{BUBBLE_TRAILER_SIZE});
        return fail(failure);
    }
    return 0;
}

namespace {

// A text of the listing: its length, then its bytes into `out` (at most
// BUBBLE_LIST_TEXT_MAX of them); false when either cannot be read.
bool list_text(bubble_reader& reader, char (&out)[BUBBLE_LIST_TEXT_MAX + 1])
{
    uint32_t length = 0;
    std::memset(out, 0, sizeof(out));
    return reader.read_u32(&length) && length <= BUBBLE_LIST_TEXT_MAX &&
           reader.read_bytes(out, length);
}

int list_failure(const char* text)
{
    std::fputs(text, stdout);
    return -1;
}

} // namespace

int bubble_pinfo(const char* path)
{
    file_guard file(path != nullptr ? std::fopen(path, "rbe") : nullptr);
    if (!file) {
        std::printf("can not open file %s for reading!\n", path != nullptr ? path : "(null)");
        return -1;
    }
    bubble_reader reader(file.get());
    uint32_t offset = 0;
    uint32_t count = 0;
    switch (bubble_read_header(reader, &offset, &count)) {
    case bubble_header::ok:
        break;
    case bubble_header::seek_end:
    case bubble_header::read_tag:
    case bubble_header::no_tag:
        return list_failure("not a bubble file!\n");
    case bubble_header::seek_trailer:
    case bubble_header::seek_offset:
        return list_failure("seek error, invalid bubble file!\n");
    case bubble_header::read_offset:
        return list_failure("read error, invalid bubble file!\n");
    case bubble_header::read_count:
        return list_failure("read error, could not read property count!\n");
    }
    if (count == 0)
        return list_failure("no properties defined!\n");
    std::printf("\nregistered properties:\n");
    std::printf("================================================\n");
    char name[BUBBLE_LIST_TEXT_MAX + 1];
    char text[BUBBLE_LIST_TEXT_MAX + 1];
    for (uint32_t i = 0; i < count; ++i) {
        uint16_t type = 0;
        if (!reader.read_u16(&type))
            return 0;
        uint32_t length = 0;
        if (!reader.read_u32(&length))
            return list_failure("invalid format!\n");
        std::memset(name, 0, sizeof(name));
        if (length > BUBBLE_LIST_TEXT_MAX || !reader.read_bytes(name, length))
            return list_failure("read error, reading function name!\n");
        std::printf("property: %s\n", name);
        std::printf("type: ");
        if (type & BUBBLE_MIME) {
            std::printf("MIME\n");
            if (!list_text(reader, text))
                return list_failure("\n\nread error, reading mime extension!\n");
            std::printf("extension: %s\n", text);
            if (!list_text(reader, text))
                return list_failure("\n\nread error, reading mime description!\n");
            std::printf("description: %s\n", text);
            uint32_t encoding = 0;
            if (!reader.read_u32(&encoding))
                return list_failure("\n\nread error, reading encoding type!\n");
            std::printf("encoding: %s",
                        encoding == 0 ? "binary\n" : (encoding == 1 ? "text\n" : "unknown\n"));
        } else if (type & BUBBLE_PROTOCOL) {
            std::printf("USER DEFINED PROTOCOL\n");
            std::printf("protocol name: %s\n", name);
        } else if (type & BUBBLE_URI) {
            std::printf("URI\n");
            std::printf("method: %s\n", (type & QUORVEL_GET)    ? "GET"
                                        : (type & QUORVEL_POST) ? "POST"
                                                                : "UNKNOWN");
            if (!list_text(reader, text))
                return list_failure("\n\nerror: could not read url!\n");
            std::printf("url: %s\n", text);
            uint32_t encoding = 0;
            reader.read_u32(&encoding);
        } else {
            std::printf("invalid type\n");
        }
        std::printf("\n");
    }
    return 0;
}

} // namespace quorvel
