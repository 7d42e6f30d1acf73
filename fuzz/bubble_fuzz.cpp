// libFuzzer driver for bubble files: the input is a whole file, written to a temporary file
// and handed to everything that reads registration data: the reader (bubble_reader and
// bubble_read_header), the lister (bubble_pinfo) and the loader (bubble_load). A model of the
// format, written here over the input's bytes, says what each must see:
// - the reader finds the same header, count and records as the model, and its remaining()
//   follows every read;
// - the lister prints exactly the listing the model gives, and returns what it says;
// - the loader fails (no library loads here, see below) without allocating more than the
//   file can hold: no block above the bound of allocation_bound while it or the lister runs;
// - every file the loader would accept, written back record by record by the writer into a
//   fresh file, reads back as the same records and the same bytes;
// - the writer appending a record to the input either leaves the file as it was or leaves one
//   the reader reads with one more record.
//
// The loader ends by loading the file as a shared library. Fuzz input must never reach the
// system's dynamic loader, so this driver defines the four module calls of platform/modules.h
// itself: the library's own definitions are then never linked in, and every module_open
// fails. Initialisation checks that the loader reaches these.
#include "api/envelope.h"
#include "bubbles/format.h"
#include "bubbles/load.h"
#include "core/thread_heap.h"
#include "platform/modules.h"
#include "quorvel.h"
#include "support.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sanitizer/allocator_interface.h>
#include <sanitizer/common_interface_defs.h>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

using quorvel::bubble_header;

// A stand-in for the library a fresh bubble file starts with: bytes that end without the tag.
constexpr std::string_view LIBRARY = "\x7f"
                                     "ELF stand-in library\n";
// Filled into the fields a record's kind does not use, which the writer must ignore.
constexpr const char* UNUSED_TEXT = "unused";

int module_opens = 0;

std::string temp_root;
std::string input_path, fresh_path, appended_path;
// Standard output, where the lister writes: a file in memory.
int listing_fd = -1;
int null_fd = -1;
int saved_stderr = -1;
envelope* error_log = nullptr;
envelope* server = nullptr;

// The blocks allocated while a library call runs.
bool counting = false;
size_t largest_block = 0;
size_t allocated_bytes = 0;

void malloc_hook(const volatile void*, size_t size)
{
    if (!counting)
        return;
    largest_block = std::max(largest_block, size);
    allocated_bytes += size;
}
void free_hook(const volatile void*) {}

std::string read_file(const std::string& path)
{
    std::string text;
    std::FILE* f = std::fopen(path.c_str(), "rbe");
    if (f == nullptr)
        std::abort();
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof(chunk), f)) > 0;)
        text.append(chunk, n);
    std::fclose(f);
    return text;
}

// A new file each time: a file cut to nothing and written again is flushed to the disk when
// it closes (on ext4), which would make the disk set the pace.
void write_file(const std::string& path, std::string_view bytes)
{
    ::unlink(path.c_str());
    std::FILE* f = std::fopen(path.c_str(), "wbxe");
    if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size())
        std::abort();
    std::fclose(f);
}

[[noreturn]] void fail(const char* what, std::string_view input, std::string_view detail = {})
{
    std::fprintf(stderr, "bubble_fuzz: %s\n--- input: %zu bytes ---\n", what, input.size());
    if (!detail.empty())
        std::fprintf(stderr, "--- detail ---\n%.*s\n", static_cast<int>(detail.size()),
                     detail.data());
    std::abort();
}

// ---------------------------------------------------------------------------------------------
// The model: registration data read from the bytes themselves.

struct record {
    uint16_t type = 0;
    std::string name, extension, description, url;
    uint32_t encoding = 0;
    bool operator==(const record&) const = default;
};

enum class kind { mime, protocol, uri, none };

// How the loader and the lister tell a record's kind: MIME first, then a protocol, then a URI.
kind kind_of(uint16_t type)
{
    if (type & quorvel::BUBBLE_MIME)
        return kind::mime;
    if (type & quorvel::BUBBLE_PROTOCOL)
        return kind::protocol;
    if (type & quorvel::BUBBLE_URI)
        return kind::uri;
    return kind::none;
}

uint32_t le32(std::string_view b, size_t at)
{
    return uint32_t{static_cast<unsigned char>(b[at])} |
           uint32_t{static_cast<unsigned char>(b[at + 1])} << 8 |
           uint32_t{static_cast<unsigned char>(b[at + 2])} << 16 |
           uint32_t{static_cast<unsigned char>(b[at + 3])} << 24;
}

// The bytes between the count and the trailer, read front to back.
struct cursor {
    std::string_view bytes;
    size_t at;
    size_t end;

    size_t left() const { return end - at; }
    bool u16(uint16_t* v)
    {
        if (left() < 2)
            return false;
        *v = static_cast<uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                   static_cast<unsigned char>(bytes[at + 1]) << 8);
        at += 2;
        return true;
    }
    bool u32(uint32_t* v)
    {
        if (left() < 4)
            return false;
        *v = le32(bytes, at);
        at += 4;
        return true;
    }
    // A text of at most `limit` bytes behind its length.
    bool text(std::string* out, uint32_t limit)
    {
        uint32_t length = 0;
        if (!u32(&length) || length > limit || length > left())
            return false;
        out->assign(bytes.substr(at, length));
        at += length;
        return true;
    }
};

struct header_model {
    bubble_header result = bubble_header::seek_end;
    uint32_t offset = 0;
    uint32_t count = 0;
    size_t end = 0; // where the records end: the trailer
};

header_model model_header(std::string_view bytes)
{
    header_model h;
    const size_t size = bytes.size();
    if (size < quorvel::BUBBLE_TAG.size())
        return h;
    if (bytes.substr(size - quorvel::BUBBLE_TAG.size()) != quorvel::BUBBLE_TAG) {
        h.result = bubble_header::no_tag;
        return h;
    }
    if (size < quorvel::BUBBLE_TRAILER_SIZE) {
        h.result = bubble_header::seek_trailer;
        return h;
    }
    h.end = size - quorvel::BUBBLE_TRAILER_SIZE;
    h.offset = le32(bytes, h.end);
    if (uint64_t{h.offset} + 4 > h.end) {
        h.result = bubble_header::seek_offset;
        return h;
    }
    h.count = le32(bytes, h.offset);
    h.result = bubble_header::ok;
    return h;
}

// What the loader makes of the records.
enum class load_outcome {
    no_header,  // the header cannot be read
    no_records, // a count of 0
    broken,     // a record cannot be read
    short_file, // the data ends before the count is reached
    complete,
};

struct loaded {
    header_model header;
    load_outcome outcome = load_outcome::no_header;
    std::vector<record> records;
    size_t end_of_records = 0; // where the last record read ends
};

// Reads one record as the loader does: false when it cannot be read.
bool model_record(cursor& c, record* r)
{
    if (!c.text(&r->name, quorvel::BUBBLE_TEXT_MAX) || r->name.empty())
        return false;
    switch (kind_of(r->type)) {
    case kind::mime:
        return c.text(&r->extension, quorvel::BUBBLE_TEXT_MAX) &&
               c.text(&r->description, quorvel::BUBBLE_TEXT_MAX) && c.u32(&r->encoding);
    case kind::uri:
        return c.text(&r->url, quorvel::BUBBLE_TEXT_MAX) && c.u32(&r->encoding);
    default:
        return true;
    }
}

loaded model_load(std::string_view bytes)
{
    loaded l;
    l.header = model_header(bytes);
    if (l.header.result != bubble_header::ok)
        return l;
    if (l.header.count == 0) {
        l.outcome = load_outcome::no_records;
        return l;
    }
    cursor c{bytes, size_t{l.header.offset} + 4, l.header.end};
    for (uint32_t i = 0; i < l.header.count; ++i) {
        record r;
        if (c.left() == 0 || !c.u16(&r.type)) {
            l.outcome = load_outcome::short_file;
            return l;
        }
        if (!model_record(c, &r)) {
            l.outcome = load_outcome::broken;
            return l;
        }
        l.records.push_back(std::move(r));
        l.end_of_records = c.at;
    }
    l.outcome = load_outcome::complete;
    return l;
}

// The lister's output and result, from the bytes.
std::pair<int, std::string> model_listing(std::string_view bytes)
{
    header_model h = model_header(bytes);
    switch (h.result) {
    case bubble_header::ok:
        break;
    case bubble_header::seek_end:
    case bubble_header::read_tag:
    case bubble_header::no_tag:
        return {-1, "not a bubble file!\n"};
    case bubble_header::seek_trailer:
    case bubble_header::seek_offset:
        return {-1, "seek error, invalid bubble file!\n"};
    case bubble_header::read_offset:
        return {-1, "read error, invalid bubble file!\n"};
    case bubble_header::read_count:
        return {-1, "read error, could not read property count!\n"};
    }
    if (h.count == 0)
        return {-1, "no properties defined!\n"};
    std::string out =
        "\nregistered properties:\n================================================\n";
    auto failed = [&out](const char* text) {
        out += text;
        return std::pair<int, std::string>{-1, out};
    };
    // Texts are printed with %s: up to their first NUL.
    auto shown = [](const std::string& text) { return std::string(text.c_str()); };
    cursor c{bytes, size_t{h.offset} + 4, h.end};
    for (uint32_t i = 0; i < h.count; ++i) {
        uint16_t type = 0;
        if (!c.u16(&type))
            return {0, out};
        uint32_t length = 0;
        if (!c.u32(&length))
            return failed("invalid format!\n");
        if (length > quorvel::BUBBLE_LIST_TEXT_MAX || length > c.left())
            return failed("read error, reading function name!\n");
        std::string name(bytes.substr(c.at, length));
        c.at += length;
        out += "property: " + shown(name) + "\ntype: ";
        std::string text;
        switch (kind_of(type)) {
        case kind::mime: {
            out += "MIME\n";
            if (!c.text(&text, quorvel::BUBBLE_LIST_TEXT_MAX))
                return failed("\n\nread error, reading mime extension!\n");
            out += "extension: " + shown(text) + "\n";
            if (!c.text(&text, quorvel::BUBBLE_LIST_TEXT_MAX))
                return failed("\n\nread error, reading mime description!\n");
            out += "description: " + shown(text) + "\n";
            uint32_t encoding = 0;
            if (!c.u32(&encoding))
                return failed("\n\nread error, reading encoding type!\n");
            out += encoding == 0   ? "encoding: binary\n"
                   : encoding == 1 ? "encoding: text\n"
                                   : "encoding: unknown\n";
            break;
        }
        case kind::protocol:
            out += "USER DEFINED PROTOCOL\nprotocol name: " + shown(name) + "\n";
            break;
        case kind::uri: {
            out += "URI\nmethod: ";
            out += (type & QUORVEL_GET) ? "GET\n" : (type & QUORVEL_POST) ? "POST\n" : "UNKNOWN\n";
            if (!c.text(&text, quorvel::BUBBLE_LIST_TEXT_MAX))
                return failed("\n\nerror: could not read url!\n");
            out += "url: " + shown(text) + "\n";
            uint32_t encoding = 0;
            c.u32(&encoding); // not shown, and not needed
            break;
        }
        case kind::none:
            out += "invalid type\n";
            break;
        }
        out += "\n";
    }
    return {0, out};
}

// ---------------------------------------------------------------------------------------------
// The library's reader over the file, step by step against the model.

void check_reader(const std::string& path, std::string_view input, const loaded& model)
{
    std::FILE* file = std::fopen(path.c_str(), "rbe");
    if (file == nullptr)
        std::abort();
    quorvel::bubble_reader reader(file);
    if (!reader.usable() || reader.size() != static_cast<int64_t>(input.size()))
        fail("the reader does not know the file's size", input);
    uint32_t offset = 0, count = 0;
    bubble_header result = quorvel::bubble_read_header(reader, &offset, &count);
    if (result != model.header.result)
        fail("the reader's header differs from the model's", input);
    if (result != bubble_header::ok) {
        std::fclose(file);
        return;
    }
    if (offset != model.header.offset || count != model.header.count)
        fail("the reader found another offset or count", input);
    // The reader and the model's cursor take the same steps, the loader's way: a length is
    // checked against remaining() before a block is made for it.
    cursor c{input, size_t{offset} + 4, model.header.end};
    auto in_step = [&] {
        if (reader.remaining() != static_cast<int64_t>(c.left()) ||
            reader.at_end() != (c.left() == 0))
            fail("the reader's remaining() lost track of the file", input);
    };
    auto u16 = [&](uint16_t* value) {
        uint16_t modelled = 0;
        bool read = reader.read_u16(value);
        if (read != c.u16(&modelled) || (read && *value != modelled))
            fail("the reader read another 16-bit value", input);
        in_step();
        return read;
    };
    auto u32 = [&](uint32_t* value) {
        uint32_t modelled = 0;
        bool read = reader.read_u32(value);
        if (read != c.u32(&modelled) || (read && *value != modelled))
            fail("the reader read another 32-bit value", input);
        in_step();
        return read;
    };
    auto text = [&](std::string* out) {
        uint32_t length = 0;
        if (!u32(&length))
            return false;
        if (int64_t{length} > reader.remaining()) {
            // Refused before a byte is read: the area may be as small as this.
            char probe[1];
            if (reader.read_bytes(probe, length))
                fail("the reader read a text longer than the file", input);
            in_step();
            return false;
        }
        if (length > quorvel::BUBBLE_TEXT_MAX)
            return false;
        out->resize(length);
        if (!reader.read_bytes(out->data(), length) || *out != input.substr(c.at, length))
            fail("the reader could not read a text the file holds", input);
        c.at += length;
        in_step();
        return true;
    };
    in_step();
    std::vector<record> records;
    load_outcome outcome = count == 0 ? load_outcome::no_records : load_outcome::complete;
    for (uint32_t i = 0; i < count && outcome == load_outcome::complete; ++i) {
        record r;
        if (reader.at_end() || !u16(&r.type)) {
            outcome = load_outcome::short_file;
            break;
        }
        bool read = text(&r.name) && !r.name.empty();
        kind k = kind_of(r.type);
        if (read && k == kind::mime)
            read = text(&r.extension) && text(&r.description) && u32(&r.encoding);
        else if (read && k == kind::uri)
            read = text(&r.url) && u32(&r.encoding);
        if (!read)
            outcome = load_outcome::broken;
        else
            records.push_back(std::move(r));
    }
    std::fclose(file);
    if (outcome != model.outcome || records != model.records)
        fail("the reader's records differ from the model's", input);
}

// ---------------------------------------------------------------------------------------------
// The lister, the loader and the writer.

// Runs `call` with its blocks counted.
template <typename Call>
auto counted(Call call)
{
    largest_block = 0;
    allocated_bytes = 0;
    counting = true;
    auto result = call();
    counting = false;
    return result;
}

// The largest block the loader or the lister may ask for: a text the file holds, with its
// terminator and the allocation pair's header, or the loader's array of one entry for every
// record the file could hold (a type, a length and a byte at least) and one more; the rest
// is the C library's (a stream's buffer and the like).
size_t allocation_bound(size_t size)
{
    constexpr size_t SYSTEM = 8192;
    size_t text = size + 1 + quorvel::HEAP_HEADER;
    size_t entries = (size / 7 + 1) * sizeof(quorvel::bubble_entry) + quorvel::HEAP_HEADER;
    return std::max(text, entries) + SYSTEM;
}

void check_lister(const std::string& path, std::string_view input)
{
    std::fflush(stdout);
    if (::ftruncate(listing_fd, 0) != 0 || ::lseek(listing_fd, 0, SEEK_SET) != 0)
        std::abort();
    int rc = counted([&] { return quorvel::bubble_pinfo(path.c_str()); });
    std::fflush(stdout);
    if (largest_block > allocation_bound(input.size()))
        fail("the lister allocated more than the file can hold", input);
    std::string listing(static_cast<size_t>(::lseek(listing_fd, 0, SEEK_END)), '\0');
    if (::pread(listing_fd, listing.data(), listing.size(), 0) !=
        static_cast<ssize_t>(listing.size()))
        std::abort();
    auto [expected_rc, expected] = model_listing(input);
    if (rc != expected_rc || listing != expected)
        fail("the listing differs from the model's", input,
             "got " + std::to_string(rc) + ":\n" + listing + "\nexpected " +
                 std::to_string(expected_rc) + ":\n" + expected);
}

void check_loader(const std::string& path, std::string_view input)
{
    int before = module_opens;
    int rc = counted([&] {
        return quorvel::bubble_load(server, static_cast<quorvel::server_record*>(server->object),
                                    path.c_str());
    });
    if (rc != -1 || module_opens != before + 1)
        fail("the loader did not end at the library", input);
    if (largest_block > allocation_bound(input.size()))
        fail("the loader allocated more than the file can hold", input,
             std::to_string(largest_block) + " bytes in one block");
}

// The writer with its refusals kept off standard error (sanitizer reports still reach it).
int write_property(const std::string& path, const quorvel::bubble_property& property)
{
    std::fflush(stderr);
    ::dup2(null_fd, STDERR_FILENO);
    int rc = quorvel::bubble_assign_prop(path.c_str(), property);
    std::fflush(stderr);
    ::dup2(saved_stderr, STDERR_FILENO);
    return rc;
}

// Whether the writer can say the record: NUL-free texts, those of its kind non-empty, an
// extension without the dot the writer drops, an encoding of 0 or 1, and a kind at all, told
// by its type alone (a protocol's type without the URI bit, which the writer refuses there).
bool writable(const record& r)
{
    auto text_ok = [](const std::string& t) {
        return !t.empty() && t.find('\0') == std::string::npos;
    };
    if (!text_ok(r.name))
        return false;
    switch (kind_of(r.type)) {
    case kind::mime:
        return text_ok(r.extension) && r.extension[0] != '.' && text_ok(r.description) &&
               r.encoding <= 1;
    case kind::uri:
        return text_ok(r.url) && r.encoding <= 1;
    case kind::protocol:
        return (r.type & quorvel::BUBBLE_URI) == 0;
    case kind::none:
        return false;
    }
    return false;
}

// The records of an accepted file written into a fresh one: the same records and, when the
// input had no bytes between its last record and its trailer, the same bytes.
void check_round_trip(std::string_view input, const loaded& model)
{
    if (model.outcome != load_outcome::complete ||
        !std::all_of(model.records.begin(), model.records.end(), writable))
        return;
    write_file(fresh_path, LIBRARY);
    for (const record& r : model.records) {
        kind k = kind_of(r.type);
        quorvel::bubble_property p{};
        p.type = r.type;
        p.name = r.name.c_str();
        p.extension = k == kind::mime ? r.extension.c_str() : UNUSED_TEXT;
        p.description = k == kind::mime ? r.description.c_str() : UNUSED_TEXT;
        p.url = k == kind::uri ? r.url.c_str() : UNUSED_TEXT;
        p.encoding = k == kind::mime || k == kind::uri ? static_cast<int>(r.encoding) : 0;
        if (write_property(fresh_path, p) != 0)
            fail("the writer refused a record the loader accepts", input);
    }
    std::string fresh = read_file(fresh_path);
    loaded again = model_load(fresh);
    if (again.outcome != load_outcome::complete || again.header.offset != LIBRARY.size() ||
        again.records != model.records)
        fail("the records written back read differently", input);
    if (model.end_of_records == model.header.end &&
        std::string_view(fresh).substr(LIBRARY.size(), fresh.size() - LIBRARY.size() - 11) !=
            input.substr(model.header.offset, model.header.end - model.header.offset))
        fail("the records written back are other bytes", input);
}

// One more record appended to a copy of the input: the file as it was, or one with that
// record behind the input's.
void check_append(std::string_view input, const loaded& model)
{
    write_file(appended_path, input);
    quorvel::bubble_property p{};
    p.type = quorvel::BUBBLE_PROTOCOL;
    p.name = "appended";
    int rc = write_property(appended_path, p);
    std::string after = read_file(appended_path);
    if (rc != 0) {
        if (after != input)
            fail("a refused append changed the file", input);
        return;
    }
    loaded again = model_load(after);
    if (again.header.result != bubble_header::ok)
        fail("an append left a file without registration data", input);
    record appended;
    appended.type = quorvel::BUBBLE_PROTOCOL;
    appended.name = "appended";
    bool was_bubble =
        input.size() >= quorvel::BUBBLE_TRAILER_SIZE && input.ends_with(quorvel::BUBBLE_TAG);
    if (!was_bubble) {
        // A new bubble: the input untouched, then the count 1 and the record.
        if (again.header.offset != input.size() || again.outcome != load_outcome::complete ||
            again.records != std::vector<record>{appended} || !after.starts_with(input))
            fail("an append to a plain file wrote something else", input);
        return;
    }
    if (again.header.offset != model.header.offset || again.header.count != model.header.count + 1)
        fail("an append did not raise the count", input);
    if (model.outcome == load_outcome::complete && model.end_of_records == model.header.end) {
        std::vector<record> expected = model.records;
        expected.push_back(appended);
        if (again.outcome != load_outcome::complete || again.records != expected)
            fail("an append to a bubble did not add its record behind the others", input);
    }
}

} // namespace

// The module calls of platform/modules.h: nothing is ever loaded.
namespace quorvel {
void* module_open(const char*)
{
    ++module_opens;
    return nullptr;
}
void* module_symbol(void*, const char*)
{
    return nullptr;
}
void module_close(void*) {}
const char* module_error()
{
    return "no libraries are loaded while fuzzing";
}
} // namespace quorvel

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    temp_root = fuzz::make_temp_root("bubble-fuzz");
    input_path = temp_root + "/input.bbl";
    fresh_path = temp_root + "/fresh.bbl";
    appended_path = temp_root + "/appended.bbl";
    std::atexit([] {
        std::error_code ignored;
        quorvel_obj_destroy(server);
        quorvel_obj_destroy(error_log);
        fs::remove_all(temp_root, ignored);
    });

    // The lister writes to standard output: into a file read back after each listing.
    std::fflush(stdout);
    listing_fd = ::memfd_create("bubble-listing", MFD_CLOEXEC);
    null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    saved_stderr = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (listing_fd < 0 || null_fd < 0 || saved_stderr < 0 || ::dup2(listing_fd, STDOUT_FILENO) < 0)
        std::abort();
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(saved_stderr)));
    if (__sanitizer_install_malloc_and_free_hooks(malloc_hook, free_hook) == 0)
        std::abort();

    error_log = quorvel_obj_create(quorvel_obj_log, "/dev/null");
    quorvel_init();
    quorvel_debug(1);
    server = quorvel_obj_create(quorvel_obj_server, 1u, temp_root.c_str());
    if (server == nullptr)
        std::abort();

    // The loader must reach the module calls above.
    write_file(input_path, LIBRARY);
    if (quorvel::bubble_load(server, static_cast<quorvel::server_record*>(server->object),
                             input_path.c_str()) != -1 ||
        module_opens != 1) {
        std::fprintf(stderr, "bubble_fuzz: the loader does not reach the driver's modules\n");
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view input(reinterpret_cast<const char*>(data), size);
    write_file(input_path, input);
    loaded model = model_load(input);
    check_reader(input_path, input, model);
    check_lister(input_path, input);
    check_loader(input_path, input);
    check_round_trip(input, model);
    check_append(input, model);
    return 0;
}
