// The directory listing page, written through the connection's send buffer piece by piece.
// Entry names and the directory's own path come from whoever can write files, so every shown
// text is HTML-escaped and every link percent-encoded on its way out.
#include "http/dirlist.h"

#include "core/report.h"
#include "foundation/htable.h"
#include "http/dir.h"
#include "http/request.h"
#include "http/server.h"
#include "net/socket.h"
#include "net/socket_io.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace quorvel {

namespace {

// UTF-8 is declared, so names in UTF-8 show as they are.
constexpr std::string_view title_open = "<html><head><meta charset=\"utf-8\"><title>Index of ";
constexpr std::string_view title_close =
    "</title><style type=\"text/css\">a:link {color: blue;text-decoration:none;}a:visited "
    "{color: purple;text-decoration:none;}a:active {background-color: "
    "yellow;text-decoration:none;}a:hover {color:red;text-decoration:none;}</style></head>"
    "<body><h2>Index of ";
// The rest of the header, with the direction each column link asks for.
constexpr char columns_format[] =
    "</h2><pre><hr><div style=\"overflow:auto;  width: 100%%; height: 80%%; padding:0px; "
    "margin: 0px\"> <table width=\"100%%\" cellpadding=\"0\"><tr><th align=\"left\"><a "
    "href=\"?n%c\">Name</a></th><th>&nbsp;&nbsp;&nbsp;</th><th align=\"right\"><a "
    "href=\"?s%c\">Size</a></th><th>&nbsp;&nbsp;&nbsp;</th><th align=\"right\"><a "
    "href=\"?m%c\">Date Modified</a></th></tr><th>&nbsp;&nbsp;&nbsp;</th>";
constexpr std::string_view parent_open = "<tr><td align=\"left\"><a href=\"";
constexpr std::string_view parent_close =
    "\">(Parent Directory..)</a></td><td>&nbsp;&nbsp</td><td align=\"right\">---</td><td>"
    "&nbsp;&nbsp;&nbsp</td><td align=\"right\">---</td><td>&nbsp;&nbsp;&nbsp;</td></tr>\n";
// A row, around its link, its shown name, its size and its date.
constexpr std::string_view row_open = "<tr><td align=\"left\"><a href=\"";
constexpr std::string_view row_link_close = "\">";
constexpr std::string_view row_size = "</a></td><td>&nbsp;&nbsp;&nbsp;</td><td align=\"right\">";
constexpr std::string_view row_date = "</td><td>&nbsp;&nbsp;&nbsp</td><td align=\"right\">";
constexpr std::string_view row_close = "</td><td>&nbsp;&nbsp;&nbsp;</td></tr>\n";
constexpr std::string_view page_footer =
    "</table></div><hr><address>Server powered by Quorvel version 0.9.0</address></body>"
    "</html>\r\n";

// Sends to the connection, remembering the first failure and counting what it sent.
struct page_writer {
    socket* sock;
    int result = 0;
    uint64_t sent = 0;

    void send(std::string_view text)
    {
        if (result >= 0 && !text.empty()) {
            result = socket_snd(sock, text.data(), static_cast<uint32_t>(text.size()));
            if (result >= 0)
                sent += text.size();
        }
    }
    // Sends `text` through `transform` (html_escape or url_encode_path), a slice at a time;
    // both work byte by byte, so slicing changes nothing, and no text is too long to send.
    // With `slashes`, '\\' is sent as '/'.
    void send_transformed(std::string_view text, int (*transform)(const char*, char*, size_t),
                          bool slashes = false)
    {
        constexpr size_t slice = 64;
        char in[slice + 1];
        char out[slice * 6 + 1]; // the longest form of one byte is six bytes
        for (size_t done = 0; result >= 0 && done < text.size(); done += slice) {
            size_t n = std::min(slice, text.size() - done);
            std::memcpy(in, text.data() + done, n);
            in[n] = '\0';
            if (slashes)
                std::replace(in, in + n, '\\', '/');
            int length = transform(in, out, sizeof(out));
            if (length < 0) {
                result = -1;
                return;
            }
            send(std::string_view(out, static_cast<size_t>(length)));
        }
    }
};

// The directory's path below the root: "" at the root, else "/a/b" without a trailing '/'.
void relative_path(const char* directory, const char* root, char* out, size_t size)
{
    size_t root_length = std::strlen(root);
    while (root_length > 0 && root[root_length - 1] == '/')
        --root_length;
    const char* rest = directory;
    if (std::strncmp(directory, root, root_length) == 0)
        rest = directory + root_length;
    else
        rest = directory + std::min(root_length, std::strlen(directory));
    // A root given with a trailing '/' leaves "//" here; a link starting "//" would name a host.
    while (rest[0] == '/' && rest[1] == '/')
        ++rest;
    int n = std::snprintf(out, size, "%s%s", rest[0] == '/' || rest[0] == '\0' ? "" : "/", rest);
    if (n < 0 || static_cast<size_t>(n) >= size)
        out[0] = '\0';
    size_t length = std::strlen(out);
    while (length > 0 && out[length - 1] == '/')
        out[--length] = '\0';
}

// The row of `entry` below the directory `relative`.
void write_row(page_writer& row, const dir_entry* entry, const char* relative)
{
    if (entry->name == nullptr) {
        row.result = -1;
        return;
    }
    char size_text[180];
    char date_text[80];
    dir_size_text(entry, size_text, sizeof(size_text));
    dir_date_text(entry->mtime, date_text, sizeof(date_text));
    // Written in pieces straight into the send buffer: however long the directory's path and
    // however much escaping grows the name, the row is never cut or left out.
    row.send(row_open);
    row.send_transformed(relative, url_encode_path, true);
    row.send("/");
    row.send_transformed(entry->name, url_encode_path);
    row.send(row_link_close);
    if (entry->is_dir)
        row.send("[");
    row.send_transformed(entry->name, html_escape);
    if (entry->is_dir)
        row.send("]");
    row.send(row_size);
    row.send(size_text);
    row.send(row_date);
    row.send(date_text);
    row.send(row_close);
}

} // namespace

int stream_http_dir(request_data* request, const char* path)
{
    clear_errors();
    if (request == nullptr || request->sock == nullptr || path == nullptr) {
        report("stream_http_dir", 10774, fault::bad_arg, "null argument passed\n");
        return -1;
    }
    // Only the first two characters of the query matter: column and direction.
    char sort[3] = {};
    uint32_t query_size = 0;
    const char* query = nullptr;
    if (request->headers != nullptr)
        query = static_cast<const char*>(htable_getref(request->headers, "QUERY", 5, &query_size));
    if (query != nullptr && query_size > 0) {
        sort[0] = query[0];
        sort[1] = query_size > 1 ? query[1] : '\0';
    }
    char toggle = sort[0] != '\0' && sort[1] == 'm' ? 'a' : 'm';

    dir_listing listing{};
    if (dir_list(path, sort[0] != '\0' ? sort : nullptr, &listing) != 0)
        return -1;

    const char* root =
        request->server != nullptr && request->server->root != nullptr ? request->server->root : "";
    char relative[PATH_MAX];
    relative_path(path, root, relative, sizeof(relative));
    std::string_view title = relative[0] != '\0' ? relative : "ROOT";

    page_writer page{request->sock};
    page.send(title_open);
    page.send_transformed(title, html_escape);
    page.send(title_close);
    page.send_transformed(title, html_escape);
    char columns[sizeof(columns_format)];
    int n = std::snprintf(columns, sizeof(columns), columns_format, toggle, toggle, toggle);
    if (n > 0 && static_cast<size_t>(n) < sizeof(columns))
        page.send(std::string_view(columns, static_cast<size_t>(n)));
    else
        page.result = -1;

    if (char* last = std::strrchr(relative, '/'); last != nullptr) {
        *last = '\0';
        page.send(parent_open);
        page.send_transformed(relative[0] != '\0' ? relative : "/", url_encode_path);
        page.send(parent_close);
        *last = '/';
    }
    for (uint32_t i = 0; i < listing.count && page.result >= 0; ++i)
        write_row(page, &listing.entries[i], relative);
    dir_listing_free(&listing);
    if (page.result >= 0)
        page.send(page_footer);
    request->body_bytes += page.sent;
    return page.result < 0 ? -1 : page.result;
}

int stream_http_dir_row(socket* connection, const dir_entry* entry, const char* relative)
{
    if (connection == nullptr || entry == nullptr || entry->name == nullptr || relative == nullptr)
        return -1;
    page_writer row{connection};
    write_row(row, entry, relative);
    return row.result;
}

} // namespace quorvel
