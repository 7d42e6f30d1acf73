// A served tree on a socket pair: requests are read from the wire into a record made like an
// accepted connection's, answered, and the answer is read back as the client saw it.
#pragma once

#include "api/envelope.h"
#include "core/report.h"
#include "core/thread_heap.h"
#include "foundation/buffer.h"
#include "foundation/htable.h"
#include "http/request.h"
#include "http/resolve.h"
#include "http/response.h"
#include "http/server.h"
#include "http/status.h"
#include "net/socket.h"
#include "net/socket_io.h"
#include "quorvel.h"
#include "support/support.h"
#include "support/wire.h"

#include <cstring>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace qtest {

using namespace quorvel;
using lines = std::vector<std::string>;
inline constexpr auto npos = std::string::npos;

inline constexpr time_t nov6 = 784111777; // Sun, 06 Nov 1994 08:49:37 GMT
inline const std::string footer =
    "<ADDRESS>Server powered by Quorvel version 0.9.0</ADDRESS>\r\n</BODY></HTML>\r\n";
inline const std::string list_footer =
    "</table></div><hr><address>Server powered by Quorvel version "
    "0.9.0</address></body></html>\r\n";
inline const std::string parent_row_end =
    "\">(Parent Directory..)</a></td><td>&nbsp;&nbsp</td><td align=\"right\">---</td><td>"
    "&nbsp;&nbsp;&nbsp</td><td align=\"right\">---</td><td>&nbsp;&nbsp;&nbsp;</td></tr>\n";

inline std::string error_page(uint32_t index)
{
    return std::string(status_page(index)) + footer;
}
inline std::string message_page(const std::string& message)
{
    return "<HTML><HEAD>\r\n<TITLE>500 Internal Server Error</TITLE>\r\n</HEAD><BODY>\r\n"
           "<H1>Internal Error</H1><font color=\"#C43100\">\r\n" +
           message + "\r\n</font>" + footer;
}

// A listing titled `title` whose column links ask for the order `toggle` next.
inline bool listing_head(const std::string& page, const std::string& title, char toggle)
{
    bool columns = true;
    for (std::string column : {"n\">Name", "s\">Size", "m\">Date Modified"})
        columns &= page.find("<a href=\"?" + column.insert(1, 1, toggle) + "</a></th>") != npos;
    return columns &&
           page.starts_with("<html><head><meta charset=\"utf-8\"><title>Index of " + title +
                            "</title>") &&
           page.find("<h2>Index of " + title + "</h2>") != npos;
}

// The entry links of a listing, in order (column and parent links left out).
inline lines entry_links(const std::string& page)
{
    static const std::regex row("<tr><td align=\"left\"><a href=\"([^\"]*)\">([^<]*)</a></td><td>"
                                "&nbsp;&nbsp;&nbsp;</td>");
    lines out;
    for (std::sregex_iterator it(page.begin(), page.end(), row), end; it != end; ++it)
        out.push_back((*it)[1]);
    return out;
}

// One answer as the client saw it.
struct Reply {
    int rc = -2;
    std::string text;
    std::string body() const { return text.substr(text.find("\r\n\r\n") + 4); }
    // The head's lines, the Date line replaced by "Date: *" once its form has been checked.
    lines head() const
    {
        static const std::regex date("Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), [0-3][0-9] "
                                     "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} "
                                     "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] GMT");
        lines out;
        std::string h = text.substr(0, text.find("\r\n\r\n") + 2);
        for (size_t at = 0, end; (end = h.find("\r\n", at)) != npos; at = end + 2) {
            out.push_back(h.substr(at, end - at));
            if (out.back().starts_with("Date: ")) {
                EXPECT_TRUE(std::regex_match(out.back(), date)) << out.back();
                out.back() = "Date: *";
            }
        }
        return out;
    }
};

inline int calls = 0;
inline std::string target_seen;

// A root "www" with files, a directory, MIME rows and mapped functions beside a canary file
// outside it; each request arrives over a socket pair on a record made like an accepted one.
class Site : public ::testing::Test {
protected:
    static void print(envelope* request, const char* text)
    {
        ++calls;
        buffer_printf(&static_cast<request_data*>(request->object)->out, "%s", text);
    }
    static char* print_fn(envelope* request, envelope* out)
    {
        EXPECT_EQ(out->object, request->object);
        return print(request, "hello"), nullptr;
    }
    static char* failing_fn(envelope* request, envelope*)
    {
        ++calls; // output still waiting in the send buffer is replaced by the error page
        socket_snd(static_cast<request_data*>(request->object)->sock, "partial", 7);
        return quorvel_make_return_value("database <down>");
    }
    static char* handler_fn(envelope* request, envelope*, const char* target)
    {
        target_seen = target;
        return print(request, "handled\n"), nullptr;
    }
    static char* failing_handler_fn(envelope*, envelope*, const char*)
    {
        return ++calls, quorvel_make_return_value("no converter");
    }

    void SetUp() override
    {
        calls = 0;
        std::filesystem::create_directories(root + "/docs");
        dir.write("www/empty.txt", "");
        dir.write("www/x.hnd", "handled by a function");
        dir.write("www/y.fail", "failing");
        for (const char* path : {"/a.txt", "/empty.txt", "/docs"})
            set_mtime(root + path, nov6);
        server.root = root.data();
        std::strcpy(server.index, "/index.html");
        server.flags = SERVER_DIRLIST;
        for (htable** t : tables())
            *t = htable_create(100);
        for (auto [ext, type, fn] : {std::tuple{"html", "text/html", quorvel_mime_fn{}},
                                     {"txt", "text/plain", nullptr},
                                     {"unknown_txt", "text/plain", nullptr},
                                     {"unknown", "application/octet-stream", nullptr},
                                     {"jpg", "image/jpeg", nullptr},
                                     {"hnd", "text/plain", handler_fn},
                                     {"fail", "text/plain", failing_handler_fn}}) {
            mime_record row{fn, const_cast<char*>(type), 1};
            htable_store(server.mime_table, ext, static_cast<uint32_t>(std::strlen(ext)), &row,
                         sizeof(row), true, nullptr);
        }
        for (auto [path, fn] :
             {std::pair{"/fn", &print_fn}, {"/fail", &failing_fn}, {"/null", nullptr}})
            map(server.get_uris, path, fn);
    }
    void TearDown() override
    {
        for (htable** t : tables())
            htable_destroy(t);
    }
    std::vector<htable**> tables()
    {
        return {&server.mime_table, &server.get_uris, &server.post_uris, &server.content_cache};
    }
    void map(htable* table, const std::string& key, quorvel_uri_fn fn, bool typed = true)
    {
        static mime_record html{nullptr, const_cast<char*>("text/html"), 1};
        uri_record record{fn, typed ? &html : nullptr};
        htable_store(table, key.data(), static_cast<uint32_t>(key.size()), &record, sizeof(record),
                     true, nullptr);
    }
    void store(const std::string& path, const std::string& bytes)
    {
        htable_store(server.content_cache, path.data(), static_cast<uint32_t>(path.size()),
                     bytes.data(), static_cast<uint32_t>(bytes.size()), true, nullptr);
    }
    request_data* receive(qtest::SocketPair& pair, const std::string& bytes, int32_t size = 4096)
    {
        qtest::send_all(pair.peer, bytes);
        ::shutdown(pair.peer, SHUT_WR);
        quorvel::socket* sock = qtest::connection(pair.mine, size);
        std::strcpy(sock->peer, peer.c_str()); // the address the access rules see
        request_data* r = http_request(&server, sock, 65536);
        EXPECT_NE(r, nullptr) << bytes;
        if (r != nullptr && !(r->flags & REQUEST_FAILED)) // as a connection handler does
            map_uri(r, r->path);
        return r;
    }
    // Reads `request` from the wire, lets `tweak` change the record, answers it and closes.
    Reply exchange(const std::string& request,
                   const std::function<void(request_data*)>& tweak = nullptr, int32_t size = 4096,
                   const std::function<int(request_data*)>& respond = http_responce)
    {
        qtest::SocketPair pair;
        Reply reply;
        request_data* r = receive(pair, request, size);
        if (r == nullptr)
            return reply;
        if (tweak)
            tweak(r);
        std::thread reader([&] { reply.text = qtest::read_to_end(pair.peer); });
        reply.rc = respond(r);
        request_destroy(&r);
        reader.join();
        return reply;
    }
    Reply get(const std::string& path, const std::string& headers = "")
    {
        return exchange("GET " + path + " HTTP/1.0\r\n" + headers + "\r\n");
    }
    std::string status(const std::string& path, const std::string& method = "GET ")
    {
        return exchange(method + path + " HTTP/1.0\r\n" + authorization + "\r\n").head()[0];
    }

    qtest::TempDir dir;
    qtest::ErrorLog log;
    std::string root = dir.file("www"), canary = dir.write("secret.txt", "canary");
    std::string text = dir.write("www/a.txt", std::string("line one\r\nline\0two\n", 19));
    std::string authorization, peer = "127.0.0.1";
    server_record server{};
};

} // namespace qtest
