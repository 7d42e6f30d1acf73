#include "http/server.h"

#include "core/envelope.h"
#include "core/report.h"
#include "core/thread_heap.h"
#include "foundation/htable.h"
#include "foundation/paths.h"
#include "foundation/strings.h"
#include "net/socket.h"
#include "platform/os.h"
#include "quorvel.h"
#include "support/support.h"
#include "threads/thread.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
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

std::string stored(const htable* table, const std::string& key)
{
    uint32_t size = 0;
    void* value = htable_getref(table, key.data(), static_cast<uint32_t>(key.size()), &size);
    return value == nullptr ? "<none>" : std::string(static_cast<const char*>(value), size);
}

char* page_fn(envelope*, envelope*)
{
    return nullptr;
}

char* mime_fn(envelope*, envelope*, const char*)
{
    return nullptr;
}

// Adds a row made by mime_create as the MIME attribute does.
int add_mime(server_record* server, const char* extension, const char* type)
{
    mime_record* row = mime_create(type, QUORVEL_ENC_TEXT, mime_fn);
    if (row == nullptr)
        return -1;
    int rc = server_store_mime(server, extension, row);
    if (rc != 0)
        mime_destroy(&row);
    else
        quorvel_mem_free(row);
    return rc;
}

class Server : public ::testing::Test {
protected:
    void SetUp() override { quorvel_init(); }

    qtest::ErrorLog log;
    qtest::TempDir root;
};

TEST_F(Server, NewServerHasTheBuiltInMimeRowsAndDefaults)
{
    server_record* server = httpsrv_create(3, root.path().c_str());
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(log.text(), "root directory set to " + root.path() + "\n");
    EXPECT_EQ(std::string(server->root), root.path());
    EXPECT_STREQ(server->index, "/index.html");
    EXPECT_EQ(server->handler_count, 3u);
    ASSERT_NE(server->handlers, nullptr);
    for (uint32_t i = 0; i < 3; ++i)
        EXPECT_EQ(server->handlers[i], nullptr);
    EXPECT_EQ(server->kernel, nullptr);
    EXPECT_EQ(server->listener_count, 0);
    EXPECT_EQ(server->status.load(), 0u);
    EXPECT_EQ(server->start_state.load(), SERVER_STARTING);
    EXPECT_EQ(server->flags, 0u);
    EXPECT_EQ(server->bubble_dir, nullptr);
    for (htable* table :
         {server->mime_table, server->get_uris, server->content_cache, server->post_uris}) {
        ASSERT_NE(table, nullptr);
        EXPECT_EQ(table->bucket_count, 101u);
    }
    EXPECT_EQ(server->get_uris->count, 0u);

    EXPECT_EQ(server->mime_table->count, 28u);
    EXPECT_EQ(type_of(server, "html"), "text/html");
    EXPECT_EQ(type_of(server, "jspx"), "text/html");
    EXPECT_EQ(type_of(server, "unknown_txt"), "text/plain");
    EXPECT_EQ(type_of(server, "h"), "text/plain");
    EXPECT_EQ(type_of(server, "unknown"), "application/octet-stream");
    EXPECT_EQ(type_of(server, "ico"), "image/vnd.microsoft.icon");
    EXPECT_EQ(type_of(server, "tif"), "image/tiff");
    EXPECT_EQ(type_of(server, "asx"), "video/x-ms-wmv");
    EXPECT_EQ(type_of(server, "mpg"), "audio/mpeg");
    EXPECT_EQ(type_of(server, "mpeg"), "audio/mpeg");
    EXPECT_EQ(type_of(server, "HTML"), "<none>"); // extensions are case-sensitive
    EXPECT_EQ(type_of(server, "mp3"), "<none>");
    EXPECT_EQ(mime_row(server, "css")->encoding, 1u);
    EXPECT_EQ(mime_row(server, "pdf")->encoding, 0u);
    EXPECT_EQ(mime_row(server, "mpeg")->encoding, 0u);
    for (const container* e = htable_next(server->mime_table, nullptr); e != nullptr;
         e = htable_next(server->mime_table, e))
        EXPECT_EQ(static_cast<const mime_record*>(e->value)->handler, nullptr) << e->key;
    httpsrv_destroy(&server);
    EXPECT_EQ(server, nullptr);
    httpsrv_destroy(&server); // NULL-safe
    httpsrv_destroy(nullptr);
}

TEST_F(Server, RootMustBeAnExistingDirectory)
{
    std::string missing = root.file("missing");
    EXPECT_EQ(httpsrv_create(1, missing.c_str()), nullptr);
    qtest::expect_report(log, "error (httpsrv_create, 11914): No such file or directory\n", EINVAL,
                         160);

    std::string file = root.write("plain.txt", "x");
    EXPECT_EQ(httpsrv_create(1, file.c_str()), nullptr);
    qtest::expect_report(log, "error (httpsrv_create, 11920): " + file + " is not a file\n", EINVAL,
                         160);
}

TEST_F(Server, NullRootIsTheExecutablesDirectory)
{
    char exe_dir[PATH_MAX];
    ASSERT_EQ(get_exe_directory(exe_dir, sizeof(exe_dir)), 0);
    server_record* server = httpsrv_create(1, nullptr);
    ASSERT_NE(server, nullptr);
    EXPECT_STREQ(server->root, exe_dir);
    EXPECT_EQ(log.text(), std::string("root directory set to ") + exe_dir + "\n");
    httpsrv_destroy(&server);
}

TEST_F(Server, ObjectCreateAndDestroyWrapTheServer)
{
    envelope* e = quorvel_obj_create(quorvel_obj_server, 2u, root.path().c_str());
    ASSERT_NE(e, nullptr);
    auto* server = static_cast<server_record*>(e->object);
    EXPECT_EQ(server->handler_count, 2u);
    EXPECT_STREQ(server->root, root.path().c_str());
    EXPECT_EQ(quorvel_obj_destroy(e), 0);
}

TEST(ServerBeforeInit, CreationNeedsInit)
{
    qtest::ErrorLog log;
    qtest::TempDir root;
    EXPECT_EQ(quorvel_obj_create(quorvel_obj_server, 4u, static_cast<const char*>(nullptr)),
              nullptr);
    qtest::expect_report(
        log, "error (quorvel_obj_create, 16298): core not initialized, call quorvel_init\n", EINVAL,
        160);
}

TEST_F(Server, ListenersCarryTheirFamiliesAndAddress)
{
    server_record* server = httpsrv_create(1, root.path().c_str());
    ASSERT_NE(server, nullptr);
    log.clear();
    // Validated before anything is built; the attribute tests cover the other refusals.
    std::string too_long(60, '1');
    EXPECT_EQ(httpsrv_add_listener(server, 8080, too_long.c_str()), -1);
    qtest::expect_report(
        log, "error (httpsrv_add_listener, 11770): invalid listener address " + too_long + "\n",
        EINVAL, 160);
    EXPECT_EQ(httpsrv_add_listener(server, 8080, "::1%lo"), -1);
    EXPECT_EQ(server->listener_count, 0);
    log.clear();

    ASSERT_EQ(httpsrv_add_listener(server, 65534, nullptr), 0);
    ASSERT_EQ(httpsrv_add_listener(server, 1, "127.0.0.1"), 0);
    ASSERT_EQ(httpsrv_add_listener(server, 2, "::1"), 0);
    ASSERT_EQ(server->listener_count, 3);
    quorvel::socket* any = server->listeners[0];
    EXPECT_EQ(any->port, 65534);
    EXPECT_EQ(any->flags,
              uint32_t{SOCK_IPV6 | SOCK_IPV4 | SOCK_NAGLE | SOCK_BUFFERED | SOCK_REUSEADDR});
    EXPECT_EQ(any->opt16, 0);
    EXPECT_EQ(any->timeout, 380);
    EXPECT_STREQ(any->bind_addr, "");
    EXPECT_EQ(server->listeners[1]->flags,
              uint32_t{SOCK_IPV4 | SOCK_NAGLE | SOCK_BUFFERED | SOCK_REUSEADDR});
    EXPECT_STREQ(server->listeners[1]->bind_addr, "127.0.0.1");
    EXPECT_EQ(server->listeners[2]->flags,
              uint32_t{SOCK_IPV6 | SOCK_NAGLE | SOCK_BUFFERED | SOCK_REUSEADDR});
    EXPECT_STREQ(server->listeners[2]->bind_addr, "::1");
    EXPECT_EQ(log.text(), "");
    httpsrv_destroy(&server);
}

TEST_F(Server, AddressedListenerBindsThatAddressOnly)
{
    server_record* server = httpsrv_create(1, root.path().c_str());
    ASSERT_NE(server, nullptr);
    int port = qtest::free_port();
    ASSERT_EQ(httpsrv_add_listener(server, port, "127.0.0.1"), 0);
    quorvel::socket* listener = server->listeners[0];
    ASSERT_EQ(socket_bind(listener), 0);
    EXPECT_NE(listener->fd[0], -1);
    EXPECT_EQ(listener->fd[1], -1);
    sockaddr_storage bound{};
    socklen_t length = sizeof(bound);
    ASSERT_EQ(::getsockname(listener->fd[0], reinterpret_cast<sockaddr*>(&bound), &length), 0);
    ASSERT_EQ(bound.ss_family, AF_INET);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&bound);
    EXPECT_EQ(ntohl(v4->sin_addr.s_addr), uint32_t{INADDR_LOOPBACK});
    EXPECT_EQ(ntohs(v4->sin_port), port);
    httpsrv_destroy(&server);
}

TEST_F(Server, MimeAndUriRecords)
{
    std::string type = "text/x-own";
    mime_record* row = mime_create(type.c_str(), 0, mime_fn);
    ASSERT_NE(row, nullptr);
    EXPECT_NE(row->content_type, type.c_str());
    EXPECT_STREQ(row->content_type, "text/x-own");
    EXPECT_EQ(row->encoding, 0u);
    EXPECT_EQ(row->handler, &mime_fn);
    EXPECT_EQ(heap_block_size(row), 0u);
    EXPECT_EQ(heap_block_size(row->content_type), 0u);
    mime_destroy(&row);
    EXPECT_EQ(row, nullptr);
    mime_destroy(&row);

    uri_record* uri = uri_create(page_fn, &uri_mime_binary);
    ASSERT_NE(uri, nullptr);
    EXPECT_EQ(uri->callback, &page_fn);
    EXPECT_STREQ(uri->mime->content_type, "application/octet-stream");
    EXPECT_EQ(uri->mime->encoding, 0u);
    EXPECT_STREQ(uri_mime_text.content_type, "text/html");
    EXPECT_EQ(uri_mime_text.encoding, 1u);
    EXPECT_EQ(uri_mime_text.handler, nullptr);
    quorvel_mem_free(uri);
}

TEST_F(Server, UserRowsReplaceBuiltInRowsAndOwnTheirTexts)
{
    server_record* server = httpsrv_create(1, root.path().c_str());
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(add_mime(server, "html", "text/x-first"), 0);  // replaces a built-in row
    ASSERT_EQ(add_mime(server, "html", "text/x-second"), 0); // replaces a user row
    ASSERT_EQ(add_mime(server, "php", "text/x-php"), 0);
    EXPECT_EQ(server->mime_table->count, 29u);
    EXPECT_EQ(type_of(server, "html"), "text/x-second");
    EXPECT_EQ(mime_row(server, "php")->handler, &mime_fn);
    EXPECT_EQ(add_mime(server, nullptr, "text/x"), -1);
    EXPECT_EQ(server->mime_table->count, 29u);
    // Leak and double-free checks of the sanitizer build decide the rest.
    httpsrv_destroy(&server);
}

TEST_F(Server, CopyIsIndependentAndSharesOnlyListenerHandlesAndTypeTexts)
{
    server_record* server = httpsrv_create(2, root.path().c_str());
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(add_mime(server, "php", "text/x-php"), 0);
    ASSERT_EQ(add_mime(server, "htm", "text/x-htm"), 0);
    uri_record* uri = uri_create(page_fn, &uri_mime_text);
    ASSERT_NE(uri, nullptr);
    ASSERT_EQ(htable_store(server->get_uris, "/fn", 3, uri, sizeof(*uri), true, nullptr), 0);
    quorvel_mem_free(uri);
    ASSERT_EQ(htable_store(server->content_cache, "/page", 5, "<p>hi</p>", 9, true, nullptr), 0);
    int port = qtest::free_port();
    ASSERT_EQ(httpsrv_add_listener(server, port, "127.0.0.1"), 0);
    quorvel::socket* listener = server->listeners[0];
    ASSERT_EQ(socket_bind(listener), 0);
    ASSERT_EQ(socket_listen(listener, SOMAXCONN), 0);
    server->flags = SERVER_SSI;
    std::snprintf(server->index, sizeof(server->index), "/home.htm");
    server->bubble_dir = str_dup_general("/nowhere/bubbles");

    server_record* copy = httpsrv_copy(server);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->is_copy, 1);
    EXPECT_EQ(copy->kernel, nullptr);
    EXPECT_EQ(copy->handlers, nullptr);
    EXPECT_EQ(copy->started, nullptr);
    EXPECT_EQ(copy->flags, SERVER_SSI);
    EXPECT_STREQ(copy->index, "/home.htm");
    EXPECT_NE(copy->root, server->root);
    EXPECT_STREQ(copy->root, server->root);
    EXPECT_NE(copy->bubble_dir, server->bubble_dir);
    EXPECT_STREQ(copy->bubble_dir, "/nowhere/bubbles");
    for (htable* table : {copy->mime_table, copy->get_uris, copy->content_cache, copy->post_uris})
        EXPECT_EQ(table->lock, nullptr); // a handler reads its copy without locking
    EXPECT_NE(copy->mime_table, server->mime_table);
    EXPECT_EQ(copy->mime_table->count, 29u);
    EXPECT_NE(mime_row(copy, "php"), mime_row(server, "php"));
    EXPECT_EQ(mime_row(copy, "php")->content_type, mime_row(server, "php")->content_type);
    EXPECT_EQ(type_of(copy, "htm"), "text/x-htm");
    EXPECT_EQ(type_of(copy, "mpg"), "audio/mpeg");
    EXPECT_EQ(
        static_cast<const uri_record*>(htable_getref(copy->get_uris, "/fn", 3, nullptr))->callback,
        &page_fn);
    EXPECT_EQ(stored(copy->content_cache, "/page"), "<p>hi</p>");
    ASSERT_EQ(copy->listener_count, 1);
    quorvel::socket* shared = copy->listeners[0];
    EXPECT_NE(shared, listener);
    EXPECT_EQ(shared->fd[0], listener->fd[0]);
    EXPECT_EQ(shared->fd[1], listener->fd[1]);
    EXPECT_EQ(shared->port, port);
    EXPECT_EQ(shared->flags, listener->flags);
    EXPECT_EQ(shared->sndbuf, listener->sndbuf);
    EXPECT_EQ(shared->buffer, nullptr);
    EXPECT_EQ(shared->table, nullptr);
    EXPECT_EQ(shared->dup_size, 0u);
    int fd = listener->fd[0];

    httpsrv_destroy(&copy);
    EXPECT_NE(::fcntl(fd, F_GETFD), -1) << "the copy closed a listener handle it shares";
    EXPECT_EQ(type_of(server, "php"), "text/x-php");
    EXPECT_EQ(type_of(server, "htm"), "text/x-htm");
    EXPECT_EQ(stored(server->content_cache, "/page"), "<p>hi</p>");
    int client = qtest::connect_loopback(port, 2000);
    EXPECT_NE(client, -1);
    if (client != -1)
        ::close(client);

    // A second copy after the first is gone still works.
    copy = httpsrv_copy(server);
    ASSERT_NE(copy, nullptr);
    httpsrv_destroy(&copy);
    EXPECT_EQ(log.text(), "root directory set to " + root.path() + "\n");
    httpsrv_destroy(&server);
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1); // the server's own listener closes it
}

TEST_F(Server, CopyOfNothingIsRefused)
{
    log.clear();
    EXPECT_EQ(httpsrv_copy(nullptr), nullptr);
    qtest::expect_report(log, "error (httpsrv_copy, 11968): null argument passed\n", EINVAL, 160);
}

// A server built on a thread that has a heap must survive that heap's reset.
TEST_F(Server, EverythingItOwnsComesFromTheGeneralAllocatorOnAHeapThread)
{
    std::string path = root.path();
    std::thread worker([&] {
        ASSERT_EQ(thread_heap_attach(65536), 0);
        void* pool_block = quorvel_mem_alloc(16);
        ASSERT_NE(heap_block_size(pool_block), 0u); // the thread has a pool
        server_record* server = httpsrv_create(1, path.c_str());
        ASSERT_NE(server, nullptr);
        ASSERT_EQ(add_mime(server, "php", "text/x-php"), 0);
        ASSERT_EQ(httpsrv_add_listener(server, 8080, nullptr), 0);
        server_record* copy = httpsrv_copy(server);
        ASSERT_NE(copy, nullptr);
        for (server_record* s : {server, copy}) {
            EXPECT_EQ(heap_block_size(s), 0u);
            EXPECT_EQ(heap_block_size(s->root), 0u);
            EXPECT_EQ(heap_block_size(s->listeners), 0u);
            EXPECT_EQ(heap_block_size(s->listeners[0]), 0u);
            EXPECT_EQ(heap_block_size(s->mime_table), 0u);
            EXPECT_EQ(heap_block_size(s->mime_table->buckets), 0u);
            const container* row = htable_next(s->mime_table, nullptr);
            EXPECT_EQ(heap_block_size(row), 0u);
            EXPECT_EQ(heap_block_size(row->value), 0u);
        }
        EXPECT_EQ(heap_block_size(mime_row(server, "php")->content_type), 0u);
        // The next allocation after the server still comes from the pool.
        void* after = quorvel_mem_alloc(16);
        EXPECT_NE(heap_block_size(after), 0u);
        heap_reset(thread_heap_current());
        void* scribble = quorvel_mem_alloc(60000);
        std::memset(scribble, 0x5A, 60000);
        EXPECT_EQ(type_of(server, "php"), "text/x-php");
        EXPECT_EQ(type_of(copy, "mpg"), "audio/mpeg");
        EXPECT_STREQ(copy->root, path.c_str());
        httpsrv_destroy(&copy);
        httpsrv_destroy(&server);
        thread_heap_detach();
    });
    worker.join();
}

// Bodies standing in for the kernel and the handlers, each slow to end once asked to stop.
struct Lingering {
    server_record* server = nullptr;
    std::atomic<int> ended{0};
    std::atomic<bool> first_handler{false}; // set once the kernel stored handler 0
    int linger_ms = 0;
};

void handler_body(quorvel_thread* self, void* arg)
{
    auto* state = static_cast<Lingering*>(arg);
    while (quorvel_thread_continue(self) == 0)
        sleep_ms(5);
    sleep_ms(state->linger_ms); // finishing a connection
    state->ended.fetch_add(1);
}

void kernel_body(quorvel_thread* self, void* arg)
{
    auto* state = static_cast<Lingering*>(arg);
    state->server->handlers[0] = thread_create(handler_body, state, 0, false);
    state->first_handler.store(true);
    while (quorvel_thread_continue(self) == 0)
        sleep_ms(5);
    // A kernel still starting handlers when the stop comes.
    state->server->handlers[1] = thread_create(handler_body, state, 0, false);
    state->ended.fetch_add(1);
}

TEST_F(Server, DestroyStopsTheKernelFirstAndWaitsForEveryThread)
{
    server_record* server = httpsrv_create(2, root.path().c_str());
    ASSERT_NE(server, nullptr);
    Lingering state;
    state.server = server;
    state.linger_ms = 700; // longer than thread_destroy's own wait
    server->kernel = thread_create(kernel_body, &state, 0, false);
    ASSERT_NE(server->kernel, nullptr);
    int64_t deadline = monotonic_ms() + 10000;
    while (!state.first_handler.load() && monotonic_ms() < deadline)
        std::this_thread::yield();
    ASSERT_TRUE(state.first_handler.load());
    ASSERT_NE(server->handlers[0], nullptr);
    httpsrv_destroy(&server);
    EXPECT_EQ(state.ended.load(), 3); // the kernel and both handlers, none given up
}

TEST_F(Server, StopIsIdempotentAndIgnoresCopies)
{
    server_record* server = httpsrv_create(1, root.path().c_str());
    ASSERT_NE(server, nullptr);
    Lingering state;
    state.server = server;
    server->handlers[0] = thread_create(handler_body, &state, 0, false);
    server_record* copy = httpsrv_copy(server);
    ASSERT_NE(copy, nullptr);
    httpsrv_stop(copy);
    EXPECT_NE(server->handlers[0], nullptr);
    httpsrv_stop(server);
    EXPECT_EQ(server->handlers[0], nullptr);
    EXPECT_EQ(state.ended.load(), 1);
    httpsrv_stop(server);
    httpsrv_stop(nullptr);
    httpsrv_destroy(&copy);
    httpsrv_destroy(&server);
}

TEST_F(Server, StartStateWaitsForThePublishedOutcome)
{
    server_record* server = httpsrv_create(1, root.path().c_str());
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(server_wait_state(server, 0), SERVER_STARTING);
    EXPECT_EQ(server_wait_state(server, 20), SERVER_STARTING);

    std::atomic<uint32_t> seen[3] = {99, 99, 99};
    std::thread waiters[3];
    for (int i = 0; i < 3; ++i)
        waiters[i] = std::thread([&, i] { seen[i] = server_wait_state(server, 20000); });
    server_publish_state(server, SERVER_SERVING);
    for (std::thread& t : waiters)
        t.join();
    for (auto& s : seen)
        EXPECT_EQ(s.load(), SERVER_SERVING);
    EXPECT_EQ(server->status.load(), 0u);
    EXPECT_EQ(server_wait_state(server, 0), SERVER_SERVING);
    httpsrv_destroy(&server);

    server = httpsrv_create(1, root.path().c_str());
    ASSERT_NE(server, nullptr);
    std::thread kernel([&] { server_publish_state(server, SERVER_FAILED); });
    EXPECT_EQ(server_wait_state(server, 20000), SERVER_FAILED);
    kernel.join();
    EXPECT_EQ(server->status.load(), 1u);
    httpsrv_destroy(&server);
}

} // namespace
