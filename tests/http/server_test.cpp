// The server record: its built-in MIME table, its root, and copies that share only what the
// original keeps alive.
#include "http/server.h"

#include "foundation/htable.h"
#include "net/socket.h"
#include "quorvel.h"
#include "support/support.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <tuple>
#include <unistd.h>

using namespace quorvel;

namespace {

const mime_record* mime_row(const server_record* server, const std::string& extension)
{
    return static_cast<const mime_record*>(htable_getref(
        server->mime_table, extension.data(), static_cast<uint32_t>(extension.size()), nullptr));
}

std::string type_of(const server_record* server, const std::string& extension)
{
    const mime_record* row = mime_row(server, extension);
    return row == nullptr ? "<none>" : row->content_type;
}

// Adds a row made by mime_create as the MIME attribute does.
void add_mime(server_record* server, const char* extension, const char* type)
{
    mime_record* row = mime_create(type, QUORVEL_ENC_TEXT, nullptr);
    ASSERT_EQ(server_store_mime(server, extension, row), 0);
    quorvel_mem_free(row);
}

class Server : public ::testing::Test {
protected:
    void SetUp() override { quorvel_init(); }

    qtest::ErrorLog log;
    qtest::TempDir root;
};

} // namespace

TEST_F(Server, NewServerHasTheBuiltInMimeRows)
{
    server_record* server = httpsrv_create(3, root.path().c_str());
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(log.text(), "root directory set to " + root.path() + "\n");
    EXPECT_EQ(server->mime_table->count, 28u);
    const std::tuple<const char*, const char*, uint32_t> rows[] = {
        {"html", "text/html", 1},
        {"css", "text/css", 1},
        {"unknown_txt", "text/plain", 1},
        {"unknown", "application/octet-stream", 0},
        {"ico", "image/vnd.microsoft.icon", 0},
        {"mpeg", "audio/mpeg", 0},
        {"pdf", "application/pdf", 0},
    };
    for (auto [extension, type, encoding] : rows) {
        SCOPED_TRACE(extension);
        EXPECT_EQ(type_of(server, extension), type);
        EXPECT_EQ(mime_row(server, extension)->encoding, encoding);
    }
    EXPECT_EQ(type_of(server, "HTML"), "<none>"); // extensions are case-sensitive
    httpsrv_destroy(&server);
    EXPECT_EQ(server, nullptr);
    httpsrv_destroy(&server); // NULL-safe
    log.clear();
    std::string file = root.write("plain.txt", "x");
    EXPECT_EQ(httpsrv_create(1, file.c_str()), nullptr);
    qtest::expect_report(log, "error (httpsrv_create, 11920): " + file + " is not a file\n", EINVAL,
                         160);
}

TEST_F(Server, CopySharesOnlyListenerHandlesAndTypeTexts)
{
    server_record* server = httpsrv_create(2, root.path().c_str());
    ASSERT_NE(server, nullptr);
    add_mime(server, "php", "text/x-php");
    add_mime(server, "html", "text/x-html"); // replaces a built-in row
    int port = qtest::free_port();
    ASSERT_EQ(httpsrv_add_listener(server, port, "127.0.0.1"), 0);
    quorvel::socket* listener = server->listeners[0];
    ASSERT_EQ(socket_bind(listener), 0);
    ASSERT_EQ(socket_listen(listener, SOMAXCONN), 0);
    int fd = listener->fd[0];

    for (int round = 0; round < 2; ++round) { // a second copy after the first is gone works too
        server_record* copy = httpsrv_copy(server);
        ASSERT_NE(copy, nullptr);
        EXPECT_NE(copy->root, server->root);
        EXPECT_NE(copy->mime_table, server->mime_table);
        EXPECT_EQ(copy->mime_table->lock, nullptr); // a handler reads its copy without locking
        EXPECT_NE(mime_row(copy, "php"), mime_row(server, "php"));
        EXPECT_EQ(mime_row(copy, "php")->content_type, mime_row(server, "php")->content_type);
        EXPECT_EQ(type_of(copy, "html"), "text/x-html");
        ASSERT_EQ(copy->listener_count, 1);
        EXPECT_NE(copy->listeners[0], listener);
        EXPECT_EQ(copy->listeners[0]->fd[0], fd);
        httpsrv_destroy(&copy);
        // The sanitizer build catches a copy that freed what it shares.
        EXPECT_NE(::fcntl(fd, F_GETFD), -1) << "the copy closed a listener handle it shares";
        EXPECT_EQ(type_of(server, "php"), "text/x-php");
        EXPECT_EQ(type_of(server, "html"), "text/x-html");
    }
    httpsrv_destroy(&server);
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1); // the server's own listener closes it
    EXPECT_EQ(httpsrv_copy(nullptr), nullptr);
    EXPECT_TRUE(log.contains("error (httpsrv_copy, 11968): null argument passed\n"));
}
