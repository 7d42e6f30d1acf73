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
#include <unistd.h>
#include <utility>

using namespace quorvel;

namespace {

class Server : public ::testing::Test {
protected:
    void SetUp() override { quorvel_init(); }
    static const mime_record* row(const server_record* server, const std::string& extension)
    {
        return static_cast<const mime_record*>(
            htable_getref(server->mime_table, extension.data(),
                          static_cast<uint32_t>(extension.size()), nullptr));
    }
    static std::string type_of(const server_record* server, const std::string& extension)
    {
        return row(server, extension) == nullptr ? "<none>" : row(server, extension)->content_type;
    }

    qtest::ErrorLog log;
    qtest::TempDir root;
};

} // namespace

TEST_F(Server, NewServerHasTheBuiltInMimeRows)
{
    server_record* server = httpsrv_create(3, root.path().c_str());
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(log.text(), "root directory set to " + root.path() + "\n");
    // The 28 classic rows and 17 of today's web, which leave the classic txt and ico alone.
    EXPECT_EQ(server->mime_table->count, 45u);
    std::string rows; // a sample: extension, type and encoding
    for (std::string extension : {"html", "css", "unknown_txt", "unknown", "ico", "pdf", "js"})
        rows += extension + " " + type_of(server, extension) + " " +
                std::to_string(row(server, extension)->encoding) + "\n";
    EXPECT_EQ(rows, "html text/html 1\ncss text/css 1\nunknown_txt text/plain 1\n"
                    "unknown application/octet-stream 0\nico image/vnd.microsoft.icon 0\n"
                    "pdf application/pdf 0\njs text/javascript 1\n");
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
    // Stored as the MIME attribute does; "html" replaces a built-in row.
    for (auto [extension, type] : {std::pair{"php", "text/x-php"}, {"html", "text/x-html"}}) {
        mime_record* made = mime_create(type, QUORVEL_ENC_TEXT, nullptr);
        ASSERT_EQ(server_store_mime(server, extension, made), 0);
        quorvel_mem_free(made);
    }
    ASSERT_EQ(httpsrv_add_listener(server, 0, "127.0.0.1"), 0);
    quorvel::socket* listener = server->listeners[0];
    ASSERT_EQ(socket_bind(listener), 0);
    ASSERT_EQ(socket_listen(listener, SOMAXCONN), 0);
    int fd = listener->fd[0];
    ASSERT_GT(listener->port, 0);

    for (int round = 0; round < 2; ++round) { // a second copy after the first is gone works too
        server_record* copy = httpsrv_copy(server);
        ASSERT_NE(copy, nullptr);
        EXPECT_NE(copy->root, server->root);
        EXPECT_NE(copy->mime_table, server->mime_table);
        EXPECT_EQ(copy->mime_table->lock, nullptr); // a handler reads its copy without locking
        EXPECT_NE(row(copy, "php"), row(server, "php"));
        EXPECT_EQ(row(copy, "php")->content_type, row(server, "php")->content_type);
        EXPECT_EQ(type_of(copy, "html"), "text/x-html");
        ASSERT_EQ(copy->listener_count, 1);
        EXPECT_NE(copy->listeners[0], listener);
        EXPECT_EQ(copy->listeners[0]->fd[0], fd);
        EXPECT_EQ(copy->listeners[0]->port, listener->port); // the port bound, not 0
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
