// Server-side includes. A page is read line by line (long lines in pieces) and copied into the
// request's page buffer; only the first directive of a line runs, and a failing one replaces
// the whole output by the error page. Each level (an included page, a conditional block)
// works in fixed areas on the stack, and levels are capped, so a page that includes itself
// ends in the error page instead of exhausting the stack. Lines are handled with their
// lengths, so the bytes of a page (NULs and percent signs included) come out as they are.
#include "http/ssi.h"

#include "core/guard.h"
#include "core/report.h"
#include "core/thread_heap.h"
#include "foundation/buffer.h"
#include "foundation/htable.h"
#include "foundation/paths.h"
#include "foundation/tokenizer.h"
#include "http/dir.h"
#include "http/host_call.h"
#include "http/output.h"
#include "http/request.h"
#include "http/resolve.h"
#include "http/server.h"
#include "http/status.h"
#include "platform/files.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string_view>

namespace quorvel {

namespace {

constexpr char ERROR_PAGE[] =
    "<html><body><pre>quorvel error: invalid ssi instruction\n%.*s...</pre></body></html>\r\n";

constexpr std::string_view DIRECTIVE_MARK = "<!--#";
constexpr std::string_view DIRECTIVE_END = "-->";
constexpr std::string_view IF_MARK = "<!--#if";
constexpr std::string_view ELIF_MARK = "<!--#elif";
constexpr std::string_view ELSE_MARK = "<!--#else";
constexpr std::string_view ENDIF_MARK = "<!--#endif";

// The argument text is split at carets (blanks outside quotes become carets) and quotes.
constexpr char ARGUMENT_DELIMITERS[] = "^\"";

// Room for a value written into an error line.
constexpr size_t SHOWN_SIZE = 1024;

// #echo escapes its value in pieces of this many bytes; each byte takes at most six.
constexpr size_t ECHO_PIECE = 128;

using directive_handler = int (*)(request_data*, const void*, tok*, ssi_source*);

struct directive {
    std::string_view text; // matched as a prefix where the line's first "<!--#" stands
    directive_handler handler;
};

// Searched in this order; "<!--#endif" has no row: outside a conditional it is plain text.
constexpr directive directives[] = {
    {"<!--#include", quorvel_ssi_parsincl},
    {"<!--#exec", ssi_parseexec},
    {"<!--#set", ssi_parseset},
    {IF_MARK, ssi_parseif},
    {ELIF_MARK, ssi_parseif},
    {ELSE_MARK, ssi_parseelse},
    {"<!--#echo", ssi_parseecho},
};
static_assert(std::size(directives) == 7);

// A line with a directive, taken apart as it is run.
struct directive_line {
    const directive* entry = nullptr;
    std::string_view prefix; // the text before the directive, at most SSI_PREFIX_SIZE bytes
    std::string_view rest;   // the text after its "-->"
    tok* tokens = nullptr;   // over the argument text; the caller's to release
};

bool contains(std::string_view text, std::string_view what)
{
    return text.find(what) != std::string_view::npos;
}

// Appends bytes to the page as they are: 0, or -1 (reported) when memory runs out.
int append(request_data* request, std::string_view text)
{
    if (text.empty())
        return 0;
    return request_put(request, text.data(), static_cast<uint32_t>(text.size())) < 0 ? -1 : 0;
}

// Appends `value` with &, <, >, " and ' written as entities.
int append_escaped(request_data* request, std::string_view value)
{
    char piece[ECHO_PIECE + 1];
    char escaped[ECHO_PIECE * 6 + 1];
    for (size_t at = 0; at < value.size(); at += ECHO_PIECE) {
        size_t n = std::min(ECHO_PIECE, value.size() - at);
        std::memcpy(piece, value.data() + at, n);
        piece[n] = '\0';
        int written = html_escape(piece, escaped, sizeof(escaped));
        if (written < 0 || append(request, std::string_view(escaped, size_t(written))) != 0)
            return -1;
    }
    return 0;
}

// Copies at most `size` - 1 bytes of `text` into `out` and terminates it.
void copy_cut(char* out, size_t size, std::string_view text)
{
    size_t n = std::min(text.size(), size - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

// The value of a variable (its name upper-cased already), or NULL when it is not set.
const char* variable(const request_data* request, const char* name)
{
    if (request->headers == nullptr)
        return nullptr;
    return static_cast<const char*>(
        htable_getref(request->headers, name, static_cast<uint32_t>(std::strlen(name)), nullptr));
}

bool at_end(const ssi_source* lines)
{
    if (lines->kind == SSI_SOURCE_FILE)
        return lines->file == nullptr || std::feof(lines->file) || std::ferror(lines->file);
    return lines->position == nullptr || lines->position >= lines->end;
}

// Replaces everything produced so far by the error page showing `line`.
void error_page(request_data* request, const char* line, size_t length)
{
    buffer_destroy(&request->out);
    buffer_printf(&request->out, ERROR_PAGE, static_cast<int>(length), line);
}

// Finds the line's first directive and splits its argument text: 1 with `out` filled; 0 when
// the line has no directive to run (it is then plain text); -1 when the directive does not end
// on the line or its arguments cannot be split.
int split_directive(const char* line, size_t length, directive_line* out)
{
    std::string_view text(line, length);
    size_t at = text.find(DIRECTIVE_MARK);
    if (at == std::string_view::npos)
        return 0;
    std::string_view from = text.substr(at);
    const directive* entry =
        std::find_if(std::begin(directives), std::end(directives),
                     [from](const directive& d) { return from.starts_with(d.text); });
    if (entry == std::end(directives))
        return 0;
    out->entry = entry;
    out->prefix = text.substr(0, std::min(at, SSI_PREFIX_SIZE));
    size_t arguments = at + entry->text.size();
    size_t close = text.find(DIRECTIVE_END, arguments);
    if (close == std::string_view::npos)
        return -1;
    size_t stop = close + DIRECTIVE_END.size();
    out->rest = text.substr(stop);
    char area[SSI_DIRECTIVE_SIZE];
    copy_cut(area, sizeof(area), text.substr(arguments, stop - arguments));
    mark_unquoted_spaces(area);
    out->tokens = tok_create(area, ARGUMENT_DELIMITERS);
    return out->tokens != nullptr ? 1 : -1;
}

int build_page(request_data* request, const void* source, uint32_t kind, uint32_t depth,
               bool captured)
{
    clear_errors();
    if (request == nullptr || request->sock == nullptr || source == nullptr) {
        report("ssi_buildpage", 13060, fault::bad_arg, "null or invalid argument\n");
        return -1;
    }
    ssi_source* lines = ssi_source_open(source, kind);
    if (lines == nullptr) {
        set_last_error(LAST_WRITE_PROTECT);
        return -1;
    }
    scope_guard close([&lines] { ssi_source_close(&lines); });
    lines->depth = depth;
    lines->captured = captured ? 1 : 0;
    char line[SSI_LINE_SIZE];
    while (!at_end(lines)) {
        size_t length = 0;
        if (ssi_source_gets(line, sizeof(line), lines, &length) == nullptr)
            continue;
        if (ssi_process_line(request, source, line, length, lines) != 0)
            return -1;
    }
    return 0;
}

// An included page, one level below the line source that includes it.
int build_nested(request_data* request, const void* source, uint32_t kind, const ssi_source* lines,
                 bool captured)
{
    return build_page(request, source, kind, lines->depth + 1, captured);
}

// Builds what a host function printed into `*captured` as a page, then releases it.
int build_captured(request_data* request, buffer** captured, const ssi_source* lines)
{
    int result =
        *captured == nullptr ? 0 : build_nested(request, *captured, SSI_SOURCE_BUFFER, lines, true);
    buffer_destroy(captured);
    return result;
}

// True when `path` has a segment that is exactly "..".
bool has_parent_segment(std::string_view path)
{
    while (!path.empty()) {
        size_t end = path.find('/');
        if (path.substr(0, end) == "..")
            return true;
        if (end == std::string_view::npos)
            break;
        path.remove_prefix(end + 1);
    }
    return false;
}

// The path of a file= include into `out`: `value` below the directory of the including file,
// or, for a page that is no file, of the request's local path (the root without one). A
// leading separator does not make the value absolute. 0, or -1 (reported) when the path does
// not fit, climbs out through "..", or names an access file.
int include_file_path(const request_data* request, const void* source, const ssi_source* lines,
                      const char* value, char (&out)[SSI_PATH_SIZE])
{
    char shown[SHOWN_SIZE];
    char directory[SSI_PATH_SIZE];
    const char* base = request->server->root;
    if (lines->kind == SSI_SOURCE_FILE)
        base = get_directory(static_cast<const char*>(source), directory, sizeof(directory));
    else if (request->local_path != nullptr)
        base = get_directory(request->local_path, directory, sizeof(directory));
    bool separator = value[0] == '/' || value[0] == '\\';
    int n = base == nullptr || base[0] == '\0'
                ? -1
                : std::snprintf(out, sizeof(out), "%s%s%s", base, separator ? "" : "/", value);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(out)) {
        report_text("quorvel_ssi_parsincl", 12288, fault::none, "path of %s too long\n",
                    log_safe(value, shown, sizeof(shown)));
        return -1;
    }
    size_t base_length = std::strlen(base);
    filter_path_sep(out);
    // The directory part is the root or a path built from it and already checked; only the
    // page's own text can ask to climb.
    if (has_parent_segment(out + base_length)) {
        report_text("quorvel_ssi_parsincl", 12286, fault::none,
                    "invalid path \"%s\", \"..\" not allowed\n",
                    log_safe(value, shown, sizeof(shown)));
        return -1;
    }
    if (names_access_file(out)) {
        report_text("quorvel_ssi_parsincl", 12289, fault::none, "access to %s forbidden\n",
                    log_safe(value, shown, sizeof(shown)));
        return -1;
    }
    return 0;
}

// The value of the "expr=" argument of #if or #elif: 1, 0, or -1.
int condition(request_data* request, tok* tokens)
{
    const char* name = tok_next(tokens);
    if (name == nullptr || std::strcmp(name, "expr=") != 0) {
        report_text("ssi_parseif", 12805, fault::none, "missing expr= for #if or #elif\n");
        return -1;
    }
    const char* expression = tok_next(tokens);
    if (expression == nullptr) {
        report_text("ssi_parseif", 12813, fault::none, "missing expression for #if or #elif\n");
        return -1;
    }
    return ssi_checkexpr(request, expression);
}

// The text after the "-->" of each #elif passed is kept until the block has ended: it goes
// out after the block, the last one first, as if each #elif had opened a block of its own.
int keep_rest(buffer** rests, std::string_view rest)
{
    if (*rests == nullptr && (*rests = buffer_create(SSI_LINE_SIZE)) == nullptr)
        return -1;
    auto n = static_cast<uint32_t>(rest.size());
    if (buffer_push(rests, rest.data(), n, SSI_LINE_SIZE) < 0 ||
        buffer_push(rests, &n, sizeof(n), SSI_LINE_SIZE) < 0)
        return -1;
    return 0;
}

int append_rests(request_data* request, const buffer* rests)
{
    if (rests == nullptr)
        return 0;
    for (const char* end = rests->write_pos; end > rests->data;) {
        uint32_t n = 0;
        std::memcpy(&n, end - sizeof(n), sizeof(n));
        const char* text = end - sizeof(n) - n;
        if (append(request, std::string_view(text, n)) != 0)
            return -1;
        end = text;
    }
    return 0;
}

enum class block_state {
    run,  // in the branch taken: lines are processed
    seek, // no branch taken yet: looking for #elif or #else
    skip, // after the branch taken: lines are passed over up to #endif
};

// The lines of a conditional's block after its #if line, up to and including its #endif.
// Directives of the block are recognised anywhere in a line, and their lines are consumed.
// An #elif is taken in this loop rather than by a handler of its own, so a long chain of
// them does not deepen the stack.
int run_block(request_data* request, const void* source, ssi_source* lines, bool taken,
              buffer** rests)
{
    block_state state = taken ? block_state::run : block_state::seek;
    uint32_t nested = 0; // conditionals opened inside the lines passed over
    char line[SSI_LINE_SIZE];
    while (!at_end(lines)) {
        size_t length = 0;
        if (ssi_source_gets(line, sizeof(line), lines, &length) == nullptr)
            continue;
        std::string_view text(line, length);
        bool ends = contains(text, ENDIF_MARK);
        bool branches = contains(text, ELSE_MARK) || contains(text, ELIF_MARK);
        if (state == block_state::run) {
            if (ends)
                return 0;
            if (branches)
                state = block_state::skip;
            else if (ssi_process_line(request, source, line, length, lines) != 0)
                return -1;
            continue;
        }
        if (contains(text, IF_MARK))
            ++nested;
        if (ends) {
            if (nested == 0)
                return 0;
            --nested;
        }
        if (state != block_state::seek || nested != 0 || !branches)
            continue;
        directive_line d;
        int found = split_directive(line, length, &d);
        if (found > 0 && d.entry->text == ELIF_MARK) {
            int value = append(request, d.prefix) == 0 ? condition(request, d.tokens) : -1;
            tok_destroy(&d.tokens);
            if (value < 0 || keep_rest(rests, d.rest) != 0)
                return -1;
            state = value != 0 ? block_state::run : block_state::seek;
            continue;
        }
        // An #else (or whatever directive comes first on its line) runs the rest.
        tok_destroy(&d.tokens);
        return ssi_process_line(request, source, line, length, lines);
    }
    return -1;
}

} // namespace

ssi_source* ssi_source_open(const void* source, uint32_t kind)
{
    if (source == nullptr || kind > SSI_SOURCE_STRING)
        return nullptr;
    std::FILE* file = nullptr;
    if (kind == SSI_SOURCE_FILE) {
        file = open_regular_stream(static_cast<const char*>(source));
        if (file == nullptr)
            return nullptr;
    }
    file_guard close(file);
    auto* lines = static_cast<ssi_source*>(mem_zalloc(sizeof(ssi_source)));
    if (lines == nullptr)
        return nullptr;
    lines->kind = kind;
    if (kind == SSI_SOURCE_FILE) {
        lines->file = close.release();
        lines->path = static_cast<const char*>(source);
    } else if (kind == SSI_SOURCE_BUFFER) {
        const auto* b = static_cast<const buffer*>(source);
        if (b->data != nullptr) {
            lines->position = b->read_pos;
            lines->end = b->write_pos;
        }
    } else {
        lines->position = static_cast<const char*>(source);
        lines->end = lines->position + std::strlen(lines->position);
    }
    return lines;
}

char* ssi_source_gets(char* line, size_t size, ssi_source* lines, size_t* length)
{
    if (length != nullptr)
        *length = 0;
    if (line == nullptr || size < 2 || lines == nullptr)
        return nullptr;
    std::memset(line, 0, size);
    size_t room = size - 1;
    size_t n = 0;
    if (lines->kind == SSI_SOURCE_FILE) {
        if (lines->file == nullptr)
            return nullptr;
        while (n < room) {
            int c = getc_unlocked(lines->file);
            if (c == EOF)
                break;
            line[n++] = static_cast<char>(c);
            if (c == '\n')
                break;
        }
    } else {
        if (lines->position == nullptr || lines->position >= lines->end)
            return nullptr;
        n = std::min(room, static_cast<size_t>(lines->end - lines->position));
        if (const void* feed = std::memchr(lines->position, '\n', n); feed != nullptr)
            n = static_cast<size_t>(static_cast<const char*>(feed) - lines->position) + 1;
        std::memcpy(line, lines->position, n);
        lines->position += n;
    }
    if (n == 0)
        return nullptr;
    if (length != nullptr)
        *length = n;
    return line;
}

void ssi_source_close(ssi_source** lines)
{
    if (lines == nullptr || *lines == nullptr)
        return;
    if ((*lines)->file != nullptr)
        std::fclose((*lines)->file);
    mem_free(*lines);
    *lines = nullptr;
}

int ssi_buildpage(request_data* request, const void* source, uint32_t kind)
{
    return build_page(request, source, kind, 0, false);
}

int ssi_process_line(request_data* request, const void* source, const char* line, size_t length,
                     ssi_source* lines)
{
    directive_line d;
    int found = split_directive(line, length, &d);
    if (found == 0)
        return append(request, std::string_view(line, length));
    int result = -1;
    if (found > 0) {
        result = append(request, d.prefix);
        if (result == 0)
            result = d.entry->handler(request, source, d.tokens, lines);
        // A conditional's rest of line follows its whole block.
        if (result == 0)
            result = append(request, d.rest);
        tok_destroy(&d.tokens);
    }
    if (result == 0)
        return 0;
    error_page(request, line, length);
    return -1;
}

int quorvel_ssi_parsincl(request_data* request, const void* source, tok* tokens, ssi_source* lines)
{
    const char* kind = tok_next(tokens);
    if (kind == nullptr) {
        report_text("quorvel_ssi_parsincl", 12280, fault::none,
                    "invalid #include missing parameter file= or virtual=\n");
        return -1;
    }
    bool is_file = std::strcmp(kind, "file=") == 0;
    if (!is_file && std::strcmp(kind, "virtual=") != 0)
        return -1;
    const char* value = tok_next(tokens);
    if (value == nullptr)
        return -1;
    if (lines->depth >= SSI_MAX_DEPTH) {
        report_text("quorvel_ssi_parsincl", 12284, fault::none,
                    "includes and conditionals nested more than %u deep\n", SSI_MAX_DEPTH);
        return -1;
    }
    const server_record* server = request->server;
    if (server == nullptr)
        return -1;
    auto key_length = static_cast<uint32_t>(std::strlen(value));

    // A mapped function: what it prints is the page to include.
    if (server->get_uris != nullptr) {
        const auto* uri = static_cast<const uri_record*>(
            htable_getref(server->get_uris, value, key_length, nullptr));
        if (uri != nullptr) {
            if (uri->callback == nullptr)
                return -1;
            buffer* captured = nullptr;
            char* error = host_call_uri_to(uri->callback, request, &captured);
            if (error != nullptr) {
                mem_free(error);
                buffer_destroy(&captured);
                return -1;
            }
            return build_captured(request, &captured, lines);
        }
    }

    // Stored content, read where it is stored (it may hold NUL bytes).
    if (server->content_cache != nullptr) {
        uint32_t size = 0;
        auto* stored =
            static_cast<char*>(htable_getref(server->content_cache, value, key_length, &size));
        if (stored != nullptr) {
            buffer view{0, size, stored, stored, stored + size};
            return build_nested(request, &view, SSI_SOURCE_BUFFER, lines, false);
        }
    }

    char path[SSI_PATH_SIZE];
    if (is_file) {
        if (include_file_path(request, source, lines, value, path) != 0)
            return -1;
    } else {
        uint32_t status = STATUS_INTERNAL;
        int is_dir = 0;
        if (httpsrv_rslvpath(path, value, server, static_cast<int>(sizeof(path)), &status,
                             &is_dir) != 0) {
            request->flags |= REQUEST_FAILED;
            request->status = status;
            return -1;
        }
    }

    // A MIME handler for the file's type writes the page to include; when it fails, the file
    // itself is included and the request stays marked as failed.
    const char* extension = get_extension(value);
    if (request->no_mime_handler == 0 && server->mime_table != nullptr && extension != nullptr &&
        extension[0] != '\0') {
        const auto* mime = static_cast<const mime_record*>(htable_getref(
            server->mime_table, extension, static_cast<uint32_t>(std::strlen(extension)), nullptr));
        if (mime != nullptr && mime->handler != nullptr) {
            buffer* captured = nullptr;
            char* error =
                host_call_mime_to(mime->handler, request, &captured, is_file ? value : path);
            if (error == nullptr)
                return build_captured(request, &captured, lines);
            mem_free(error);
            buffer_destroy(&captured);
            request->flags |= REQUEST_FAILED;
            request->status = STATUS_INTERNAL;
        }
    }
    return build_nested(request, path, SSI_SOURCE_FILE, lines, false);
}

int ssi_parseexec(request_data* request, const void*, tok* tokens, ssi_source* lines)
{
    // Output of a host function may carry what a client sent.
    if (lines->captured != 0) {
        report_text("ssi_parseexec", 12497, fault::none,
                    "#exec refused in the output of a host function\n");
        return -1;
    }
    const char* name = tok_next(tokens);
    if (name == nullptr || std::strcmp(name, "cmd=") != 0)
        return -1;
    const char* command = tok_next(tokens);
    if (command == nullptr) {
        report_text("ssi_parseexec", 12493, fault::none, "invalid #exec, only cmd= supported\n");
        return -1;
    }
    std::FILE* pipe = ::popen(command, "r");
    if (pipe == nullptr) {
        char shown[SHOWN_SIZE];
        report_text("ssi_parseexec", 12501, fault::none, "could not pipe %s for #exe\n",
                    log_safe(command, shown, sizeof(shown)));
        return -1;
    }
    scope_guard close([pipe] { ::pclose(pipe); });
    char line[SSI_EXEC_LINE_SIZE];
    char escaped[SSI_EXEC_AREA_SIZE];
    while (std::fgets(line, sizeof(line), pipe) != nullptr) {
        if (html_escape_line(escaped, line, sizeof(escaped)) == 0 || append(request, escaped) != 0)
            return -1;
    }
    return 0;
}

int ssi_parseset(request_data* request, const void*, tok* tokens, ssi_source*)
{
    const char* first = tok_next(tokens);
    if (first == nullptr || std::strcmp(first, "var=") != 0) {
        report_text("ssi_parseset", 12905, fault::none, "invalid #set, missing var=\n");
        return -1;
    }
    char* name = tok_next(tokens);
    if (name == nullptr) {
        report_text("ssi_parseset", 12913, fault::none, "invalid #set variable name not defined\n");
        return -1;
    }
    const char* third = tok_next(tokens);
    if (third == nullptr || std::strcmp(third, "value=") != 0) {
        report_text("ssi_parseset", 12920, fault::none, "invalid #set, missing value=\n");
        return -1;
    }
    const char* value = tok_next(tokens);
    if (value == nullptr) {
        report_text("ssi_parseset", 12927, fault::none, "invalid #set, missing value\n");
        return -1;
    }
    // "$NAME" takes the environment's NAME; "\$" stands for a "$" of the text.
    char* from_environment = nullptr;
    if (value[0] == '$')
        value = from_environment = env_dup(value + 1);
    else if (value[0] == '\\' && value[1] == '$')
        ++value;
    str_upper(name);
    // An unset environment variable leaves no value, which the store refuses.
    int result = htable_store(
        request->headers, name, static_cast<uint32_t>(std::strlen(name)), value,
        value != nullptr ? static_cast<uint32_t>(std::strlen(value)) : 0, true, nullptr);
    mem_free(from_environment);
    return result;
}

int ssi_parseif(request_data* request, const void* source, tok* tokens, ssi_source* lines)
{
    if (lines->depth >= SSI_MAX_DEPTH) {
        report_text("ssi_parseif", 12801, fault::none,
                    "includes and conditionals nested more than %u deep\n", SSI_MAX_DEPTH);
        return -1;
    }
    int taken = condition(request, tokens);
    if (taken < 0)
        return -1;
    ++lines->depth;
    scope_guard leave([lines] { --lines->depth; });
    buffer* rests = nullptr;
    scope_guard release([&rests] { buffer_destroy(&rests); });
    if (run_block(request, source, lines, taken != 0, &rests) != 0)
        return -1;
    return append_rests(request, rests);
}

int ssi_parseelse(request_data* request, const void* source, tok*, ssi_source* lines)
{
    char line[SSI_LINE_SIZE];
    while (!at_end(lines)) {
        size_t length = 0;
        if (ssi_source_gets(line, sizeof(line), lines, &length) == nullptr)
            continue;
        std::string_view text(line, length);
        if (contains(text, ENDIF_MARK))
            return 0;
        if (contains(text, ELSE_MARK) || contains(text, ELIF_MARK)) {
            report_text("ssi_parseelse", 12769, fault::none, "unmatched or missing #endif\n");
            return -1;
        }
        if (ssi_process_line(request, source, line, length, lines) != 0)
            return -1;
    }
    report_text("ssi_parseelse", 12785, fault::none, "wierd #if,#elif,#else,#endif definition\n");
    return -1;
}

int ssi_parseecho(request_data* request, const void*, tok* tokens, ssi_source*)
{
    const char* first = tok_next(tokens);
    if (first == nullptr)
        return -1;
    if (std::strcmp(first, "var=") != 0) {
        report_text("ssi_parseecho", 12248, fault::none, "invalid #echo, missing var=\n");
        return -1;
    }
    char* name = tok_next(tokens);
    if (name == nullptr)
        return -1;
    str_upper(name);
    if (const char* value = variable(request, name); value != nullptr)
        return append_escaped(request, value);
    // Neither set nor sent: the process environment, else nothing at all.
    char* from_environment = env_dup(name);
    if (from_environment == nullptr)
        return 0;
    int result = append_escaped(request, from_environment);
    mem_free(from_environment);
    return result;
}

int ssi_checkexpr(request_data* request, const char* expression)
{
    if (request == nullptr || expression == nullptr)
        return -1;
    char operands[2][SSI_OPERAND_SIZE] = {};
    int have = 0;
    bool less = false, equal = false, greater = false;
    bool both = false, either = false;
    bool running = false;
    for (const char* p = expression; *p != '\0'; ++p) {
        if (p[0] == '$' && p[1] == '{') {
            const char* close = std::strchr(p + 2, '}');
            if (close == nullptr)
                return -1;
            char name[SSI_OPERAND_SIZE];
            copy_cut(name, sizeof(name), std::string_view(p + 2, size_t(close - p - 2)));
            str_upper(name);
            const char* value = name[0] == '\0' ? "" : variable(request, name);
            if (value == nullptr)
                return -1;
            copy_cut(operands[have++], SSI_OPERAND_SIZE, value);
            p = close;
        } else if (*p == '/') {
            const char* close = std::strchr(p + 1, '/');
            if (close == nullptr) {
                char shown[SHOWN_SIZE];
                report_text("ssi_checkexpr", 12607, fault::none, "invalid expression %s\n",
                            log_safe(expression, shown, sizeof(shown)));
                return -1;
            }
            copy_cut(operands[have++], SSI_OPERAND_SIZE,
                     std::string_view(p + 1, size_t(close - p - 1)));
            p = close;
        } else if (*p == '<') {
            less = true;
        } else if (*p == '=') {
            equal = true;
        } else if (*p == '>') {
            greater = true;
        } else if (p[0] == '&' && p[1] == '&') {
            both = true;
            ++p;
        } else if (p[0] == '|' && p[1] == '|') {
            either = true;
            ++p;
        }
        if (have < 2)
            continue;
        int order = std::strcmp(operands[0], operands[1]);
        bool compared = less || equal || greater;
        bool pair = less      ? (equal ? order <= 0 : order < 0)
                    : greater ? (equal ? order >= 0 : order > 0)
                              : equal && order == 0;
        bool first_set = operands[0][0] != '\0', second_set = operands[1][0] != '\0';
        if (either)
            running = compared ? (running || pair) : (first_set || second_set);
        else if (both)
            running = compared ? (running && pair) : (first_set && second_set);
        else
            running = pair;
        have = 0;
        less = equal = greater = both = either = false;
    }
    return running ? 1 : 0;
}

int html_escape_line(char* destination, const char* text, size_t size)
{
    if (destination == nullptr || size == 0)
        return 0;
    destination[0] = '\0';
    if (text == nullptr)
        return 1;
    size_t used = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        char reference[HTML_ESCAPE_SIZE];
        const char* escaped = html_escape(static_cast<unsigned char>(*p), reference);
        size_t n = escaped != nullptr ? std::strlen(escaped) : 1;
        if (used + n + 1 > size) {
            destination[used] = '\0';
            return 0;
        }
        std::memcpy(destination + used, escaped != nullptr ? escaped : p, n);
        used += n;
    }
    destination[used] = '\0';
    return 1;
}

} // namespace quorvel
