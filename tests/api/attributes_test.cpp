// quorvel_obj_set and quorvel_obj_get on server, system and stream objects: the exact refusals a
// caller can trigger, a listener's binding and the start status.
#include "api/envelope.h"
#include "core/settings.h"
#include "foundation/buffer.h"
#include "http/server.h"
#include "net/socket.h"
#include "quorvel.h"
#include "support/support.h"

#include <cerrno>
#include <climits>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <utility>
#include <vector>

using namespace quorvel;

// A table row's call of quorvel_attrib_<name>, answering its result.
#define SET(target, name, ...)                                                                     \
    [&] { return quorvel_obj_set(target, quorvel_attrib_##name __VA_OPT__(, ) __VA_ARGS__); }
#define GET(target, name, ...)                                                                     \
    [&] { return quorvel_obj_get(target, quorvel_attrib_##name __VA_OPT__(, ) __VA_ARGS__); }

namespace {

// A call and the error log's only new text, without "error (" and the line end.
using Refusal = std::pair<std::function<int()>, std::string>;

class Attributes : public ::testing::Test {
protected:
    void SetUp() override
    {
        quorvel_init();
        obj = quorvel_obj_create(quorvel_obj_server, 2u, root.path().c_str());
        ASSERT_NE(obj, nullptr);
        server = static_cast<server_record*>(obj->object);
        log.clear();
    }
    void TearDown() override { EXPECT_EQ(quorvel_obj_destroy(obj), 0); }

    // Every call is refused with exactly its line, EINVAL and 160.
    void expect_refused(const std::vector<Refusal>& rows)
    {
        for (const auto& [call, line] : rows) {
            SCOPED_TRACE(line);
            EXPECT_EQ(call(), -1);
            qtest::expect_report(log, "error (" + line + "\n", EINVAL, 160);
        }
    }

    const std::string set = "quorvel_obj_set:: quorvel_attrib_";
    qtest::ErrorLog log;
    qtest::TempDir root;
    envelope* obj = nullptr;
    server_record* server = nullptr;
};

} // namespace

TEST_F(Attributes, ServerRefusals)
{
    const std::string missing = root.file("gone");
    expect_refused({
        {SET(nullptr, ssi, 1), "quorvel_obj_set, 17546): null argument passed"},
        {[&] { return quorvel_obj_set(obj, 3, 1); },
         "quorvel_obj_set, 18152): provided attribute does not correspond with object"},
        {SET(obj, listener, 65535), "socket_create, 8108): null or invalid argument"},
        // Only a listener bound to one address takes its port from the system.
        {SET(obj, listener, 0), "socket_create, 8108): null or invalid argument"},
        {SET(obj, listener_addr, -1, "127.0.0.1"),
         "socket_create, 8108): null or invalid argument"},
        {GET(obj, listener_addr, 0),
         "quorvel_obj_get:: quorvel_attrib_listener_addr, 18529): no listener 0, the server has 0"},
        {SET(obj, listener_addr, 80, "localhost"),
         "httpsrv_add_listener, 11770): invalid listener address localhost"},
        {SET(obj, tcpbuffsize, 8192), set + "tcpbuffsize, 18085): no listeners have been defined"},
        {SET(obj, index, std::string(79, 'b').c_str()),
         set + "index, 17615): index file name longer than 79 characters"},
        {SET(obj, bubbles, missing.c_str()),
         set + "bubbles, 17634): directory " + missing + " does not exist"},
        {SET(obj, bubbles, std::string(PATH_MAX, 'd').c_str()),
         set + "bubbles, 17628): directory name longer than 4095 characters"},
        {SET(obj, uri_cache, 2, "/a", "no.html", 2),
         set + "uri_cache, 17871): the file " + root.file("no.html") + " does not exist"},
        {SET(obj, afipv, 0x1u, SOCK_SET, 0u), set + "afipv, 17682): no listeners specified"},
    });
    obj->flags |= ENVELOPE_STARTED | ENVELOPE_LOCKED;
    expect_refused(
        {{SET(obj, ssi, 1), "quorvel_obj_set, 17542): object modification access denied"}});
    obj->flags = 0;
    // The refused calls left the server as it was made.
    EXPECT_EQ(server->flags, 0u);
    EXPECT_EQ(server->listener_count, 0);
    EXPECT_STREQ(server->index, "/index.html");
}

TEST_F(Attributes, SystemSettingsAndRefusals)
{
    envelope* sys = quorvel_get_sys();
    EXPECT_EQ(quorvel_obj_set(sys, quorvel_attrib_tcpbuffsize, 32768), 0);
    EXPECT_EQ(quorvel_obj_set(sys, quorvel_attrib_threadheap, 131072), 0);
    EXPECT_EQ(quorvel_obj_set(sys, quorvel_attrib_request_timeout, 30), 0);
    expect_refused({
        {SET(sys, tcpbuffsize, 0),
         set + "tcpbuffsize, 17575): invalid buffer size 0, expecting bytes above 0"},
        {SET(sys, threadheap, -1),
         set + "threadheap, 17580): invalid thread heap size -1, expecting bytes above 0"},
        {SET(sys, request_timeout, 0),
         set + "request_timeout, 17585): invalid time-out 0, expecting seconds above 0"},
        {SET(sys, listener_addr, 1), "quorvel_obj_set, 17594): invalid attribute for object"},
    });
    // The refusals kept the values set before.
    EXPECT_EQ(default_tcp_buffer_size(), 32768);
    EXPECT_EQ(handler_heap_size(), 131072);
    EXPECT_EQ(request_timeout_seconds(), 30);
}

TEST_F(Attributes, StreamReportsItsBufferCapacityOnly)
{
    quorvel::socket* s = socket_create(8080);
    ASSERT_NE(s, nullptr);
    envelope stream{quorvel_obj_stream, s, 0};
    EXPECT_EQ(quorvel_obj_get(&stream, quorvel_attrib_tcpbuffsize), 0); // unbuffered
    s->buffer = buffer_create(4096);
    EXPECT_EQ(quorvel_obj_get(&stream, quorvel_attrib_tcpbuffsize), 4096);
    expect_refused({
        {GET(&stream, uri),
         "quorvel_obj_get, 18276): provided attribute does not correspond with object"},
        {GET(&stream, listener_addr, 0),
         "quorvel_obj_get, 18276): provided attribute does not correspond with object"},
        {SET(&stream, ssi, 1),
         "quorvel_obj_set, 18216): operation not supported for provided object"},
    });
    socket_destroy(&s);
}

TEST_F(Attributes, AddressedListenerBindsThatAddressOnlyAndReadsItsPortBack)
{
    ASSERT_EQ(quorvel_obj_set(obj, quorvel_attrib_listener, 8080), 0); // never bound here
    ASSERT_EQ(quorvel_obj_set(obj, quorvel_attrib_listener_addr, 0, "127.0.0.1"), 0);
    ASSERT_EQ(server->listener_count, 2);
    // Before the bind: the ports as given, in the order the listeners were added.
    EXPECT_EQ(quorvel_obj_get(obj, quorvel_attrib_listener_addr, 0), 8080);
    EXPECT_EQ(quorvel_obj_get(obj, quorvel_attrib_listener_addr, 1), 0);
    quorvel::socket* listener = server->listeners[1];
    ASSERT_EQ(socket_bind(listener), 0);
    EXPECT_EQ(listener->fd[1], -1); // no second (IPv6) socket
    sockaddr_in bound{};
    socklen_t length = sizeof(bound);
    ASSERT_EQ(::getsockname(listener->fd[0], reinterpret_cast<sockaddr*>(&bound), &length), 0);
    EXPECT_EQ(bound.sin_family, AF_INET);
    EXPECT_EQ(ntohl(bound.sin_addr.s_addr), uint32_t{INADDR_LOOPBACK});
    EXPECT_NE(bound.sin_port, 0);
    // After it: the port the system gave.
    EXPECT_EQ(quorvel_obj_get(obj, quorvel_attrib_listener_addr, 1), ntohs(bound.sin_port));
    expect_refused({{GET(obj, listener_addr, 2), "quorvel_obj_get:: quorvel_attrib_listener_addr, "
                                                 "18529): no listener 2, the server has 2"},
                    {GET(obj, listener_addr, -1), "quorvel_obj_get:: quorvel_attrib_listener_addr, "
                                                  "18529): no listener -1, the server has 2"}});
}

TEST_F(Attributes, StatusWaitsForTheKernelsOutcome)
{
    obj->flags |= ENVELOPE_STARTED | ENVELOPE_LOCKED; // as the start leaves it
    EXPECT_EQ(quorvel_obj_get(obj, quorvel_attrib_status, 10), 2);
    expect_refused({{GET(obj, status, -1),
                     "quorvel_obj_get:: quorvel_attrib_status, 18527): invalid wait time -1, "
                     "expecting milliseconds from 0"}});
    std::thread kernel([this] { server_publish_state(server, SERVER_SERVING); });
    EXPECT_EQ(quorvel_obj_get(obj, quorvel_attrib_status, 20000), 0);
    kernel.join();
    EXPECT_EQ(log.text(), "");
    obj->flags = 0;
}
