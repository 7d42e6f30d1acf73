// Loading a bubble. The registration data is read in full (every length checked against the
// file) before the library is loaded, and every handler is resolved before the first
// association, so a bubble either enters all of its handlers or stops at a failure with the
// associations before it in force. A library stays loaded as long as anything may call into
// it: a server it gave handlers to closes it when it goes, unless its bubble_main ran or it
// registered a protocol, which may hold it for the life of the process.
#include "bubbles/load.h"

#include "bubbles/format.h"
#include "core/guard.h"
#include "core/report.h"
#include "core/thread_heap.h"
#include "foundation/strings.h"
#include "http/server.h"
#include "platform/modules.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quorvel {

namespace {

constexpr char BUBBLE_MAIN[] = "bubble_main";
// The code the symbol failure line carries: a lookup that found nothing.
constexpr int SYMBOL_NOT_FOUND = 127;
// The fewest bytes a record takes: its type, a name length and one name byte.
constexpr int64_t RECORD_MIN = 7;

// What happened to a library's entry point.
enum class entry_point { missing, failed, succeeded };

entry_point run_bubble_main(envelope* server, const char* path, void* module)
{
    auto main_fn = reinterpret_cast<quorvel_bubble_main_fn>(module_symbol(module, BUBBLE_MAIN));
    entry_point ran = main_fn == nullptr     ? entry_point::missing
                      : main_fn(server) != 0 ? entry_point::succeeded
                                             : entry_point::failed;
    if (ran != entry_point::succeeded)
        debug("bubble_init_main", 19127, "no bubble main defined for %s\n", path);
    return ran;
}

// The entry point of a library whose registration data cannot be used: true when the
// library's bubble_main returned true, the library then staying loaded. A library whose
// bubble_main ran and failed stays loaded too: it may have registered its functions already.
bool bubble_init_main(envelope* server, const char* path)
{
    void* module = module_open(path);
    if (module == nullptr)
        return false;
    entry_point ran = run_bubble_main(server, path, module);
    if (ran == entry_point::missing)
        module_close(module);
    return ran == entry_point::succeeded;
}

// Registration data that cannot be used: the entry point may still load the bubble. 0 when it
// did, else the place's line and -1.
int data_failure(envelope* server, const char* path, int id, const char* text)
{
    int error = errno;
    if (bubble_init_main(server, path))
        return 0;
    errno = error;
    report("quorvel_bubble_load", id, fault::none, text, path);
    return -1;
}

// Reads a length (failing as `length_id`) and that many bytes into a new block with one more
// zero byte (failing as `text_id`, or `alloc_id` when it cannot be had): 0 or the failing id.
int read_text(bubble_reader& reader, uint32_t* length, char** text, int length_id, int text_id,
              int alloc_id)
{
    if (!reader.read_u32(length))
        return length_id;
    if (*length > BUBBLE_TEXT_MAX || int64_t{*length} > reader.remaining())
        return text_id;
    *text = static_cast<char*>(mem_zalloc(*length + 1));
    if (*text == nullptr)
        return alloc_id;
    return reader.read_bytes(*text, *length) ? 0 : text_id;
}

// Reads one record into `e`: 0, or the id of the failing field.
int read_entry(bubble_reader& reader, bubble_entry& e)
{
    int failed = read_text(reader, &e.name_length, &e.name, 19334, 19363, 19363);
    if (failed == 0 && e.name_length == 0)
        failed = 19363;
    if (failed != 0)
        return failed;
    if (e.type & BUBBLE_MIME) {
        failed = read_text(reader, &e.extension_length, &e.extension, 19387, 19417, 19417);
        if (failed == 0)
            failed = read_text(reader, &e.description_length, &e.description, 19434, 19465, 19465);
        if (failed == 0 && !reader.read_u32(&e.encoding))
            failed = 19482;
    } else if (e.type & BUBBLE_PROTOCOL) {
    } else if (e.type & BUBBLE_URI) {
        failed = read_text(reader, &e.url_length, &e.url, 19505, 19536, 19520);
        if (failed == 0 && !reader.read_u32(&e.encoding))
            failed = 19552;
    }
    return failed;
}

const char* read_failure_text(int id)
{
    switch (id) {
    case 19334:
        return "load of %s failed, error reading load size\n";
    case 19363:
        return "load of %s failed, error reading load name\n";
    case 19387:
    case 19417:
        return "load of %s failed, error reading mime extension\n";
    case 19434:
    case 19465:
        return "load of %s failed, error reading mime description\n";
    case 19482:
    case 19552:
        return "load of %s failed, error reading encoding type\n";
    default:
        return "load of %s failed, error reading URL\n";
    }
}

// Enters one resolved property into the server or the protocol table: true when it was.
bool associate(envelope* server, const bubble_entry& e, bool* protocol)
{
    // The kinds are told apart in the order the record was read in.
    if (e.type & BUBBLE_MIME) {
        debug("quorvel_bubble_load", 19634, "        association: %s = MIME(%s,%s)...\n", e.name,
              e.extension, e.description);
        return quorvel_obj_set(server, quorvel_attrib_mime, e.extension, e.description,
                               static_cast<unsigned>(e.encoding),
                               reinterpret_cast<quorvel_mime_fn>(e.function)) == 0;
    }
    if (e.type & BUBBLE_PROTOCOL) {
        debug("quorvel_bubble_load", 19677, "        association: %s = PROTOCOL...\n", e.name);
        *protocol = true;
        return quorvel_obj_create(quorvel_obj_protocol, e.name,
                                  reinterpret_cast<quorvel_protocol_fn>(e.function)) ==
               reinterpret_cast<envelope*>(uintptr_t{1});
    }
    if (e.type & BUBBLE_URI) {
        int method = (e.type & QUORVEL_GET) ? QUORVEL_GET : QUORVEL_POST;
        debug("quorvel_bubble_load", 19657, "        association: %s = URL(%s,%s)...\n", e.name,
              e.url, method == QUORVEL_GET ? "GET" : "POST");
        return quorvel_obj_set(server, quorvel_attrib_uri, method, e.url,
                               static_cast<int>(e.encoding),
                               reinterpret_cast<quorvel_uri_fn>(e.function)) == 0;
    }
    return true;
}

} // namespace

int bubble_load(envelope* server, server_record* record, const char* path)
{
    if (server == nullptr || record == nullptr || path == nullptr)
        return -1;
    debug("quorvel_obj_start", 19170, "loading bubble %s\n", path);
    debug("quorvel_bubble_load", 19172, "    reading registration data...\n");
    file_guard file(std::fopen(path, "rbe"));
    if (!file)
        return -1;
    bubble_reader reader(file.get());
    uint32_t offset = 0;
    uint32_t count = 0;
    std::pair<int, const char*> header_failure{0, nullptr};
    switch (bubble_read_header(reader, &offset, &count)) {
    case bubble_header::ok:
        if (count == 0)
            header_failure = {19279, "load of %s failed, no properties defined\n"};
        break;
    case bubble_header::seek_end:
        header_failure = {19185, "load of %s failed on SEEK_END\n"};
        break;
    case bubble_header::read_tag:
        header_failure = {19198, "load of %s failed TAG_ENDER invalid\n"};
        break;
    case bubble_header::no_tag:
        header_failure = {19210, "load of %s failed, unregistered bubble\n"};
        break;
    case bubble_header::seek_trailer:
        header_failure = {19225, "load of %s failed TAG_ENDER invalid\n"};
        break;
    case bubble_header::read_offset:
        header_failure = {19237, "load of %s failed, could not read offset\n"};
        break;
    case bubble_header::seek_offset:
        // The offset is part of the line; the file is closed for the entry point first.
        file.reset();
        if (bubble_init_main(server, path))
            return 0;
        report("quorvel_bubble_load", 19249, fault::none,
               "load of %s failed, could not seek offset: %ld\n", path, long{offset});
        return -1;
    case bubble_header::read_count:
        header_failure = {19265, "load of %s failed, error reading record count\n"};
        break;
    }
    if (header_failure.second != nullptr) {
        file.reset();
        return data_failure(server, path, header_failure.first, header_failure.second);
    }

    // A count the file cannot hold leaves entries without a name, which the symbol lookup
    // refuses: one empty entry stands for all of them.
    int64_t readable = reader.remaining() / RECORD_MIN;
    uint32_t entries = count <= readable ? count : static_cast<uint32_t>(readable) + 1;
    auto* bubble = static_cast<bubble_record*>(mem_zalloc(sizeof(bubble_record)));
    uint64_t array_size = entries * uint64_t{sizeof(bubble_entry)};
    if (bubble != nullptr) {
        bubble->count = entries;
        if (array_size <= UINT32_MAX)
            bubble->properties =
                static_cast<bubble_entry*>(mem_zalloc(static_cast<uint32_t>(array_size)));
        bubble->path = str_dup(path);
    }
    if (bubble == nullptr || bubble->properties == nullptr || bubble->path == nullptr) {
        bubble_destroy(&bubble);
        report("quorvel_bubble_load", 19291, fault::none,
               "load of %s failed, could not allocate memory\n", path);
        return -1;
    }
    scope_guard release([&bubble] { bubble_destroy(&bubble); });
    for (uint32_t i = 0; i < bubble->count && !reader.at_end(); ++i) {
        bubble_entry& e = bubble->properties[i];
        if (!reader.read_u16(&e.type))
            break;
        if (int failed = read_entry(reader, e); failed != 0) {
            file.reset();
            return data_failure(server, path, failed, read_failure_text(failed));
        }
    }
    file.reset();
    debug("quorvel_bubble_load", 19568, "    reading symbols...\n");

    void* module = module_open(path);
    if (module == nullptr) {
        debug("quorvel_bubble_load", 19570, "%s\n", module_error());
        return -1;
    }
    entry_point ran = run_bubble_main(server, path, module);
    for (uint32_t i = 0; i < bubble->count; ++i) {
        bubble_entry& e = bubble->properties[i];
        debug("quorvel_bubble_load", 19593, "      symbol %s....\n",
              e.name != nullptr ? e.name : "");
        e.function = e.name != nullptr ? module_symbol(module, e.name) : nullptr;
        if (e.function == nullptr) {
            debug("quorvel_bubble_load", 19611, "%s\n", module_error());
            report("quorvel_bubble_load", 19609, fault::none,
                   "error %d encountered loading symbol %s from bubble %s\n", SYMBOL_NOT_FOUND,
                   e.name != nullptr ? e.name : "", path);
            // Nothing of the library was entered anywhere unless its bubble_main did it.
            if (ran == entry_point::missing)
                module_close(module);
            return -1;
        }
    }

    debug("quorvel_bubble_load", 19625, "      creating property associations...\n");
    bool protocol = false;
    bool complete = true;
    for (uint32_t i = 0; i < bubble->count && complete; ++i)
        complete = associate(server, bubble->properties[i], &protocol);
    // A library only this server's tables can call into goes when the server goes.
    if (ran == entry_point::missing && !protocol)
        httpsrv_keep_module(record, module);
    if (!complete)
        return -1;
    debug("quorvel_bubble_load", 19693, "      done\n");
    release.dismiss();
    bubble_destroy(&bubble);
    debug("quorvel_bubble_load", 19697, "done\n");
    return 0;
}

void bubble_destroy(bubble_record** bubble)
{
    if (bubble == nullptr || *bubble == nullptr)
        return;
    bubble_record* b = *bubble;
    *bubble = nullptr;
    mem_free(b->path);
    for (uint32_t i = 0; b->properties != nullptr && i < b->count; ++i) {
        bubble_entry& e = b->properties[i];
        mem_free(e.name);
        mem_free(e.description);
        mem_free(e.extension);
        mem_free(e.url);
    }
    mem_free(b->properties);
    mem_free(b);
}

} // namespace quorvel
