// Server-side includes: the page builder that copies a stored page line by line into the
// request's page buffer and runs the directives it meets (#include, #exec, #echo, #set and the
// conditionals #if, #elif, #else, #endif).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <type_traits>

namespace quorvel {

struct request_data;
struct tok;

// Kinds of page source.
inline constexpr uint32_t SSI_SOURCE_FILE = 0;   // a path, read as a file
inline constexpr uint32_t SSI_SOURCE_BUFFER = 1; // a buffer: its bytes from read_pos to write_pos
inline constexpr uint32_t SSI_SOURCE_STRING = 2; // a NUL-terminated text

// Fixed working areas of one level of a page.
inline constexpr size_t SSI_LINE_SIZE = 1024;      // a line (longer lines arrive in pieces)
inline constexpr size_t SSI_PREFIX_SIZE = 512;     // text kept before a directive
inline constexpr size_t SSI_DIRECTIVE_SIZE = 1024; // a directive's argument text
inline constexpr size_t SSI_OPERAND_SIZE = 80;     // an expression operand or variable name
inline constexpr size_t SSI_PATH_SIZE = 1024;      // the path of an included file
inline constexpr size_t SSI_EXEC_LINE_SIZE = 512;  // a line of #exec output
inline constexpr size_t SSI_EXEC_AREA_SIZE = 2048; // that line escaped

// Levels of includes and conditionals a page may open, one inside the other.
inline constexpr uint32_t SSI_MAX_DEPTH = 16;

// Where the lines of one page come from.
struct ssi_source {
    uint32_t kind;        // SSI_SOURCE_*
    std::FILE* file;      // kind 0: the open file
    const char* position; // kinds 1 and 2: the next unread byte
    const char* end;      // kinds 1 and 2: behind the last byte
    const char* path;     // kind 0: the file's path, which anchors its file= includes
    uint32_t depth;       // includes and conditionals open around the line being read
    uint8_t captured;     // output of a host function: #exec is refused in it
};
static_assert(std::is_trivially_destructible_v<ssi_source>);

// Builds the page read from `source` (a path, a buffer or a text, as `kind` says) by
// appending its lines to the request's `out` buffer, running each line's first directive.
// 0 when the page is built; -1 when a directive failed, `out` then holding the error page
// that shows the failing line (a failed "virtual=" include has also marked the request
// REQUEST_FAILED with its status); -1 with `out` as it was and last error 19 (nothing
// reported) when the source cannot be opened; -1 (reported, EINVAL) for a NULL request or
// source or a request without a connection. Runs host functions and commands on the
// calling thread.
int ssi_buildpage(request_data* request, const void* source, uint32_t kind);

// Appends the `length` bytes of `line`, read from `lines` (whose page is `source`), to `out`
// and runs the first directive among them: 0; -1 when the directive failed, `out` then holding
// only the error page for `line`, or when appending ran out of memory.
int ssi_process_line(request_data* request, const void* source, const char* line, size_t length,
                     ssi_source* lines);

// The directive handlers: `tokens` splits the directive's argument text ("name=" and quoted
// values as separate tokens, "-->" the last). Conditionals read the lines of their block
// from `lines` themselves. 0, or -1 for a failed directive.
int quorvel_ssi_parsincl(request_data* request, const void* source, tok* tokens, ssi_source* lines);
int ssi_parseexec(request_data* request, const void* source, tok* tokens, ssi_source* lines);
int ssi_parseset(request_data* request, const void* source, tok* tokens, ssi_source* lines);
int ssi_parseif(request_data* request, const void* source, tok* tokens, ssi_source* lines);
int ssi_parseelse(request_data* request, const void* source, tok* tokens, ssi_source* lines);
int ssi_parseecho(request_data* request, const void* source, tok* tokens, ssi_source* lines);

// Evaluates a conditional's expression, scanned once from left to right: operands ${NAME}
// (a variable of the request, names in any case) and /literal/, comparisons =, <, >, <=, >=
// between the two operands of a pair, && and || between pairs; anything else is ignored.
// 1 true, 0 false, -1 for an unset variable, an unclosed ${ or an unclosed literal (reported).
int ssi_checkexpr(request_data* request, const char* expression);

// A line source over `source` of `kind` (from the allocation pair), or NULL when the file is
// no regular file that opens, the kind is unknown or memory runs out. Released with
// ssi_source_close.
ssi_source* ssi_source_open(const void* source, uint32_t kind);

// Zeroes `line` (`size` bytes) and reads the next line into it, up to and including its line
// feed; a longer line arrives in pieces of size - 1 bytes. The line, its length in `*length`
// when given (it may hold NUL bytes), or NULL at the end of the source.
char* ssi_source_gets(char* line, size_t size, ssi_source* lines, size_t* length = nullptr);

// Closes the file of a kind 0 source, releases the record and clears `*lines`. NULL is ignored.
void ssi_source_close(ssi_source** lines);

// Writes `text` into `destination` (`size` bytes) with every byte other than ASCII letters,
// digits and / * + - # blank \ LF TAB CR as a numeric character reference ("." gives "&#46;").
// 1, or 0 when the result and its terminator do not fit.
int html_escape_line(char* destination, const char* text, size_t size);

} // namespace quorvel
