// The registration data of bubble files: property records appended behind a shared library,
// a property count in front of them, and a trailer of the count's offset and a tag. Written
// by bubble_assign_prop, listed by bubble_pinfo, read by the loader. Every length read from a
// file is checked against what the file still holds before anything is allocated for it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

namespace quorvel {

// The last seven bytes of a bubble file.
inline constexpr std::string_view BUBBLE_TAG = "stagend";
// The header offset and the tag behind the records.
inline constexpr uint32_t BUBBLE_TRAILER_SIZE = 11;
// The longest text a reader allocates, and the longest the lister prints.
inline constexpr uint32_t BUBBLE_TEXT_MAX = 1u << 20;
inline constexpr uint32_t BUBBLE_LIST_TEXT_MAX = 1023;

// Property kind bits of a record's type (the method bits QUORVEL_GET and QUORVEL_POST join a
// URI's kind).
inline constexpr uint16_t BUBBLE_PROTOCOL = 0x08;
inline constexpr uint16_t BUBBLE_MIME = 0x10;
inline constexpr uint16_t BUBBLE_URI = 0x20;

// One property as the writer takes it.
struct bubble_property {
    uint16_t type;
    const char* name;        // the handler's symbol name (and a protocol's name)
    const char* extension;   // MIME: with or without one leading dot
    const char* description; // MIME: the type text
    const char* url;         // URI
    int encoding;            // MIME and URI: 0 binary, 1 text
};

// Appends one property record to the file at `path`, making it a bubble file when it is not
// one yet. Every argument is checked before the file is touched (a type with the URI and the
// protocol bits but not the MIME bit is refused: readers take it for a protocol); a write that
// fails after that leaves the file as it was. 0, or -1 with the reason on standard error.
int bubble_assign_prop(const char* path, const bubble_property& property);

// Lists the properties of the bubble file at `path` on standard output. 0, or -1 with the
// reason on standard output.
int bubble_pinfo(const char* path);

// Reads the little-endian fields of registration data from an open file, each read checked
// against the file's size, so a length the file cannot hold fails the read.
class bubble_reader {
public:
    explicit bubble_reader(std::FILE* file);
    // Whether the file's size could be read; nothing else works without it.
    bool usable() const { return size_ >= 0; }
    int64_t size() const { return size_; }
    bool seek(int64_t offset);
    bool at_end() const;
    bool read_u16(uint16_t* value);
    bool read_u32(uint32_t* value);
    // Reads `length` bytes into `out`; false when the file ends first.
    bool read_bytes(char* out, uint32_t length);
    // The bytes a length read from the file may still take: what is left before the end (the
    // trailer, once the header has been read).
    int64_t remaining() const;
    void end_at(int64_t end) { end_ = end; }

private:
    std::FILE* file_;
    int64_t size_ = -1;
    int64_t end_ = -1;
};

// Locates the registration data: `ok` with the header offset and the count when the file ends
// with the tag and its header can be read (the reader then stands at the first record and
// ends at the trailer), else the step that failed.
enum class bubble_header {
    ok,
    seek_end,     // the file is shorter than the tag
    read_tag,     // the tag's bytes could not be read
    no_tag,       // the file does not end with the tag
    seek_trailer, // the file is shorter than the trailer
    read_offset,  // the header offset could not be read
    seek_offset,  // the header offset lies beyond the trailer
    read_count,   // the count could not be read
};
bubble_header bubble_read_header(bubble_reader& reader, uint32_t* offset, uint32_t* count);

} // namespace quorvel
