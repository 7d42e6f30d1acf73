#include "core/envelope.h"
#include "core/report.h"
#include "core/settings.h"
#include "core/thread_heap.h"
#include "foundation/buffer.h"
#include "foundation/htable.h"
#include "foundation/paths.h"
#include "http/request.h"
#include "http/server.h"
#include "net/socket.h"
#include "quorvel.h"
#include "support/support.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace quorvel;

namespace {

char* page_fn(envelope*, envelope*)
{
    return nullptr;
}

char* mime_fn(envelope*, envelope*, const char*)
{
    return nullptr;
}

std::string stored(const htable* table, const std::string& key)
{
    uint32_t size = 0;
    void* value = htable_getref(table, key.data(), static_cast<uint32_t>(key.size()), &size);
    return value == nullptr ? "<none>" : std::string(static_cast<const char*>(value), size);
}

const void* stored_pointer(const htable* table, const std::string& key)
{
    return htable_getref(table, key.data(), static_cast<uint32_t>(key.size()), nullptr);
}

const uri_record* uri_at(const htable* table, const std::string& key)
{
    return static_cast<const uri_record*>(stored_pointer(table, key));
}

const mime_record* mime_at(const server_record* server, const std::string& extension)
{
    return static_cast<const mime_record*>(stored_pointer(server->mime_table, extension));
}

const std::string invalid_method = "error (quorvel_obj_set::quorvel_attrib_uri, 18042): "
                                   "invalid HTTP method\n";

class Attributes : public ::testing::Test {
protected:
    void SetUp() override
    {
        quorvel_init();
        object = quorvel_obj_create(quorvel_obj_server, 2u, root.path().c_str());
        ASSERT_NE(object, nullptr);
        server = static_cast<server_record*>(object->object);
        log.clear();
    }
    void TearDown() override
    {
        if (object != nullptr) {
            EXPECT_EQ(quorvel_obj_destroy(object), 0);
        }
    }

    // Refused with exactly `line`, EINVAL and 160.
    void expect_refused(int rc, const std::string& line)
    {
        EXPECT_EQ(rc, -1);
        qtest::expect_report(log, line, EINVAL, 160);
    }

    qtest::ErrorLog log;
    qtest::TempDir root;
    envelope* object = nullptr;
    server_record* server = nullptr;
};

TEST_F(Attributes, SetRefusesMissingLockedAndUnsupportedObjects)
{
    const std::string null_line = "error (quorvel_obj_set, 17546): null argument passed\n";
    expect_refused(quorvel_obj_set(nullptr, quorvel_attrib_ssi, 1), null_line);
    envelope empty{quorvel_obj_server, nullptr, 0};
    expect_refused(quorvel_obj_set(&empty, quorvel_attrib_ssi, 1), null_line);

    object->flags |= ENVELOPE_STARTED | ENVELOPE_LOCKED;
    for (int attribute : {int{quorvel_attrib_ssi}, int{quorvel_attrib_listener}, 99}) {
        expect_refused(quorvel_obj_set(object, attribute, 1),
                       "error (quorvel_obj_set, 17542): object modification access denied\n");
    }
    EXPECT_EQ(server->flags, 0u);
    object->flags = 0;

    envelope* sys = quorvel_get_sys();
    sys->flags |= ENVELOPE_LOCKED;
    expect_refused(quorvel_obj_set(sys, quorvel_attrib_threadheap, 4096),
                   "error (quorvel_obj_set, 17557): object modification access denied\n");
    sys->flags = 0;
    EXPECT_EQ(handler_heap_size(), DEFAULT_THREAD_HEAP_SIZE);

    envelope* mutex = quorvel_obj_create(quorvel_obj_mutex);
    ASSERT_NE(mutex, nullptr);
    expect_refused(quorvel_obj_set(mutex, quorvel_attrib_ssi, 1),
                   "error (quorvel_obj_set, 18216): operation not supported for provided object\n");
    EXPECT_EQ(quorvel_obj_destroy(mutex), 0);

    request_data request{};
    envelope connection{quorvel_obj_connection, &request, 0};
    for (int attribute : {quorvel_attrib_header, quorvel_attrib_cache, quorvel_attrib_cookie}) {
        expect_refused(
            quorvel_obj_set(&connection, attribute, "X-Name", "value"),
            "error (quorvel_obj_set, 18206): provided attribute does not correspond with object\n");
    }

    for (int attribute : {1, 3, 5, 8, 23, 25, 99}) {
        expect_refused(
            quorvel_obj_set(object, attribute, 1),
            "error (quorvel_obj_set, 18152): provided attribute does not correspond with object\n");
    }
    for (int attribute : {2, 10, 24, 99}) {
        expect_refused(quorvel_obj_set(sys, attribute, 1),
                       "error (quorvel_obj_set, 17594): invalid attribute for object\n");
    }
}

TEST_F(Attributes, MimeRowsAreAddedAndReplaced)
{
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_mime, "php", "text/x-php", 1u, mime_fn), 0);
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_mime, "html", "text/x-html", 0u,
                              static_cast<quorvel_mime_fn>(nullptr)),
              0);
    EXPECT_EQ(server->mime_table->count, 29u);
    ASSERT_NE(mime_at(server, "php"), nullptr);
    EXPECT_STREQ(mime_at(server, "php")->content_type, "text/x-php");
    EXPECT_EQ(mime_at(server, "php")->handler, &mime_fn);
    EXPECT_EQ(mime_at(server, "php")->encoding, 1u);
    EXPECT_STREQ(mime_at(server, "html")->content_type, "text/x-html");
    EXPECT_EQ(mime_at(server, "html")->encoding, 0u);
    EXPECT_EQ(log.text(), "");

    expect_refused(quorvel_obj_set(object, quorvel_attrib_mime, "rpm",
                                   static_cast<const char*>(nullptr), 1u, mime_fn),
                   "error (mime_create, 11520): null argument passed\n");
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_mime, static_cast<const char*>(nullptr),
                              "text/x", 1u, mime_fn),
              -1);
    EXPECT_EQ(server->mime_table->count, 29u);
}

TEST_F(Attributes, IndexGetsASeparatorAndABound)
{
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_index, "home.htm"), 0);
    EXPECT_STREQ(server->index, "/home.htm");
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_index, "\\sub\\home.htm"), 0);
    EXPECT_STREQ(server->index, "/sub/home.htm");
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_index, "/start.html"), 0);
    EXPECT_STREQ(server->index, "/start.html");
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_index, static_cast<const char*>(nullptr)), 0);
    EXPECT_STREQ(server->index, "/index.html");

    std::string fits(78, 'a'); // 79 with the separator
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_index, fits.c_str()), 0);
    EXPECT_EQ(std::string(server->index), "/" + fits);
    std::string slashed = "/" + fits;
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_index, slashed.c_str()), 0);
    EXPECT_EQ(log.text(), "");

    const std::string too_long = "error (quorvel_obj_set:: quorvel_attrib_index, 17615): index "
                                 "file name longer than 79 characters\n";
    std::string longer(79, 'b');
    expect_refused(quorvel_obj_set(object, quorvel_attrib_index, longer.c_str()), too_long);
    std::string longer_slashed = "/" + longer;
    expect_refused(quorvel_obj_set(object, quorvel_attrib_index, longer_slashed.c_str()), too_long);
    EXPECT_EQ(std::string(server->index), "/" + fits); // unchanged
}

TEST_F(Attributes, SsiAndListingFlags)
{
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_ssi, 5), 0);
    EXPECT_EQ(server->flags, SERVER_SSI);
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_dirlist, 1), 0);
    EXPECT_EQ(server->flags, SERVER_SSI | SERVER_DIRLIST);
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_ssi, 0), 0);
    EXPECT_EQ(server->flags, SERVER_DIRLIST);
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_dirlist, 0), 0);
    EXPECT_EQ(server->flags, 0u);
}

TEST_F(Attributes, ListenersByPortAndByAddress)
{
    const std::string bad_port = "error (socket_create, 8108): null or invalid argument\n";
    expect_refused(quorvel_obj_set(object, quorvel_attrib_listener, 0), bad_port);
    expect_refused(quorvel_obj_set(object, quorvel_attrib_listener, 65535), bad_port);
    EXPECT_EQ(server->listener_count, 0);

    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_listener, 65534), 0);
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_listener_addr, 8081, "127.0.0.1"), 0);
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_listener_addr, 8082, "::1"), 0);
    ASSERT_EQ(server->listener_count, 3);
    EXPECT_STREQ(server->listeners[0]->bind_addr, "");
    EXPECT_EQ(server->listeners[0]->flags & (SOCK_IPV6 | SOCK_IPV4),
              uint32_t{SOCK_IPV6 | SOCK_IPV4});
    EXPECT_STREQ(server->listeners[1]->bind_addr, "127.0.0.1");
    EXPECT_EQ(server->listeners[1]->port, 8081);
    EXPECT_EQ(server->listeners[1]->flags & (SOCK_IPV6 | SOCK_IPV4), uint32_t{SOCK_IPV4});
    EXPECT_STREQ(server->listeners[2]->bind_addr, "::1");
    EXPECT_EQ(server->listeners[2]->flags & (SOCK_IPV6 | SOCK_IPV4), uint32_t{SOCK_IPV6});
    EXPECT_EQ(log.text(), "");

    expect_refused(quorvel_obj_set(object, quorvel_attrib_listener_addr, 8083, "localhost"),
                   "error (httpsrv_add_listener, 11770): invalid listener address localhost\n");
    expect_refused(quorvel_obj_set(object, quorvel_attrib_listener_addr, 8083, "10.0.0.256"),
                   "error (httpsrv_add_listener, 11770): invalid listener address 10.0.0.256\n");
    expect_refused(quorvel_obj_set(object, quorvel_attrib_listener_addr, 8083,
                                   static_cast<const char*>(nullptr)),
                   "error (quorvel_obj_set:: quorvel_attrib_listener_addr, 18110): null argument "
                   "passed\n");
    expect_refused(quorvel_obj_set(object, quorvel_attrib_listener_addr, 0, "127.0.0.1"), bad_port);
    EXPECT_EQ(server->listener_count, 3);
}

TEST_F(Attributes, ServerBufferSizesGoToEveryListener)
{
    expect_refused(quorvel_obj_set(object, quorvel_attrib_tcpbuffsize, 8192),
                   "error (quorvel_obj_set:: quorvel_attrib_tcpbuffsize, 18085): no listeners "
                   "have been defined\n");
    ASSERT_EQ(quorvel_obj_set(object, quorvel_attrib_listener, 8080), 0);
    ASSERT_EQ(quorvel_obj_set(object, quorvel_attrib_listener, 8081), 0);
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_tcpbuffsize, 8192), 0);
    for (int i = 0; i < 2; ++i) {
        quorvel::socket* s = server->listeners[i];
        EXPECT_EQ(s->sndbuf, 8192);
        EXPECT_EQ(s->rcvbuf, 8192);
        EXPECT_EQ(s->flags & (SOCK_SNDBUF | SOCK_RCVBUF), uint32_t{SOCK_SNDBUF | SOCK_RCVBUF});
    }
    // 0 goes back to the library-wide default.
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_tcpbuffsize, 0), 0);
    EXPECT_EQ(server->listeners[1]->sndbuf, 0);
    EXPECT_EQ(server->listeners[1]->flags & (SOCK_SNDBUF | SOCK_RCVBUF), 0u);
    EXPECT_EQ(log.text(), "");
}

TEST_F(Attributes, SslSetsTheLibraryFlag)
{
    EXPECT_FALSE(ssl_initialized());
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_ssl), 0);
    EXPECT_TRUE(ssl_initialized());
}

TEST_F(Attributes, BubbleDirectoryMustExist)
{
    std::filesystem::create_directories(root.file("plugins"));
    std::string wanted = root.file("plugins");
    std::string backslashed = root.path() + "\\plugins";
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_bubbles, backslashed.c_str()), 0);
    ASSERT_NE(server->bubble_dir, nullptr);
    EXPECT_EQ(std::string(server->bubble_dir), wanted);
    EXPECT_EQ(heap_block_size(server->bubble_dir), 0u);

    std::string missing = root.file("gone");
    expect_refused(quorvel_obj_set(object, quorvel_attrib_bubbles, missing.c_str()),
                   "error (quorvel_obj_set:: quorvel_attrib_bubbles, 17634): directory " + missing +
                       " does not exist\n");
    std::string file = root.write("file.bbl", "x");
    expect_refused(quorvel_obj_set(object, quorvel_attrib_bubbles, file.c_str()),
                   "error (quorvel_obj_set:: quorvel_attrib_bubbles, 17646): " + file +
                       " is a file, directory expected\n");
    std::string huge(PATH_MAX, 'd');
    expect_refused(quorvel_obj_set(object, quorvel_attrib_bubbles, huge.c_str()),
                   "error (quorvel_obj_set:: quorvel_attrib_bubbles, 17628): directory name "
                   "longer than 4095 characters\n");
    EXPECT_EQ(std::string(server->bubble_dir), wanted);

    char exe_dir[PATH_MAX];
    ASSERT_EQ(get_exe_directory(exe_dir, sizeof(exe_dir)), 0);
    std::string beside = std::string(exe_dir) + "/bubbles";
    bool exists = std::filesystem::is_directory(beside);
    int rc = quorvel_obj_set(object, quorvel_attrib_bubbles, static_cast<const char*>(nullptr));
    if (exists) {
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(std::string(server->bubble_dir), beside);
    } else {
        expect_refused(rc, "error (quorvel_obj_set:: quorvel_attrib_bubbles, 17634): directory " +
                               beside + " does not exist\n");
    }
}

TEST_F(Attributes, UriMappingsCheckEncodingThenCallbackThenMethod)
{
    const std::string bad_encoding = "error (quorvel_obj_set:: quorvel_attrib_uri, 18016): "
                                     "invalid encoding type specified";
    expect_refused(quorvel_obj_set(object, quorvel_attrib_uri, 3, "/x", 1, page_fn),
                   invalid_method);
    expect_refused(quorvel_obj_set(object, quorvel_attrib_uri, 3, "/x", 2, page_fn), bad_encoding);
    expect_refused(quorvel_obj_set(object, quorvel_attrib_uri, QUORVEL_GET, "/x", -1, page_fn),
                   bad_encoding);
    expect_refused(quorvel_obj_set(object, quorvel_attrib_uri, 3, "/x", 1,
                                   static_cast<quorvel_uri_fn>(nullptr)),
                   "error (uri_create, 11541): null argument passed\n");
    EXPECT_EQ(server->get_uris->count + server->post_uris->count, 0u);

    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_uri, QUORVEL_GET, "/page", 1, page_fn), 0);
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_uri, QUORVEL_POST, "/form", 0, page_fn), 0);
    ASSERT_NE(uri_at(server->get_uris, "/page"), nullptr);
    EXPECT_EQ(uri_at(server->get_uris, "/page")->callback, &page_fn);
    EXPECT_EQ(uri_at(server->get_uris, "/page")->mime, &uri_mime_text);
    EXPECT_EQ(uri_at(server->post_uris, "/page"), nullptr);
    ASSERT_NE(uri_at(server->post_uris, "/form"), nullptr);
    EXPECT_EQ(uri_at(server->post_uris, "/form")->mime, &uri_mime_binary);
    // The same URI again replaces the mapping.
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_uri, QUORVEL_GET, "/page", 0, page_fn), 0);
    EXPECT_EQ(server->get_uris->count, 1u);
    EXPECT_EQ(uri_at(server->get_uris, "/page")->mime, &uri_mime_binary);
    EXPECT_EQ(log.text(), "");
}

TEST_F(Attributes, StoredContentIsCopiedOrReferred)
{
    expect_refused(
        quorvel_obj_set(object, quorvel_attrib_uri_content, QUORVEL_POST, "/a", "<p>a</p>", 2),
        "error (quorvel_obj_set:: quorvel_attrib_uri_content, 17989): invalid HTTP method\n");
    std::string copied = "<p>copied</p>";
    static const char referred[] = "<p>referred</p>";
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_uri_content, QUORVEL_GET, "/copy",
                              copied.c_str(), 2),
              0);
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_uri_content, QUORVEL_GET, "/ref", referred, 0),
              0);
    copied.assign("changed later");
    EXPECT_EQ(stored(server->content_cache, "/copy"), "<p>copied</p>");
    EXPECT_EQ(stored_pointer(server->content_cache, "/ref"), static_cast<const void*>(referred));
    EXPECT_EQ(stored(server->content_cache, "/ref"), referred);
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_uri_content, QUORVEL_GET, "/x",
                              static_cast<const char*>(nullptr), 2),
              -1);
    EXPECT_EQ(server->content_cache->count, 2u);
}

TEST_F(Attributes, CachedFilesLoadFromUnderTheRoot)
{
    root.write("a.html", "<p>A</p>");
    root.write("sub/b.txt", "bee");
    root.write("empty.txt", "");
    std::filesystem::create_directories(root.file("dir.html"));
    quorvel_debug(1);
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_uri_cache, QUORVEL_GET, "/a", "a.html", 0), 0);
    quorvel_debug(0);
    EXPECT_EQ(log.text(), "(quorvel_obj_set::quorvel_attrib_uri_cache:, 17889): loading file " +
                              root.file("a.html") + " of size 8 into server cache...");
    log.clear();
    EXPECT_EQ(stored(server->content_cache, "/a"), "<p>A</p>");
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_uri_cache, QUORVEL_GET, "/b", "sub\\b.txt", 2),
              0);
    EXPECT_EQ(stored(server->content_cache, "/b"), "bee");
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_uri_cache, QUORVEL_GET, "/e", "empty.txt", 2),
              0);
    EXPECT_EQ(stored(server->content_cache, "/e"), "");
    EXPECT_EQ(log.text(), "");

    const std::string fn = "error (quorvel_obj_set:: quorvel_attrib_uri_cache, ";
    expect_refused(quorvel_obj_set(object, quorvel_attrib_uri_cache, 2, "/a", "no.html", 2),
                   fn + "17871): the file " + root.file("no.html") + " does not exist\n");
    expect_refused(quorvel_obj_set(object, quorvel_attrib_uri_cache, 2, "/a", "dir.html", 2),
                   fn + "17881): " + root.file("dir.html") + " is not a file\n");
    ASSERT_EQ(::mkfifo(root.file("pipe").c_str(), 0600), 0);
    expect_refused(quorvel_obj_set(object, quorvel_attrib_uri_cache, 2, "/p", "pipe", 2),
                   fn + "17881): " + root.file("pipe") + " is not a file\n");
    expect_refused(quorvel_obj_set(object, quorvel_attrib_uri_cache, 2, "/a",
                                   static_cast<const char*>(nullptr), 2),
                   fn + "17848): content file not specified\n");
    expect_refused(
        quorvel_obj_set(object, quorvel_attrib_uri_cache, QUORVEL_POST, "/c", "a.html", 2),
        fn + "17923): invalid HTTP method\n");
    std::string huge(PATH_MAX, 'f');
    expect_refused(quorvel_obj_set(object, quorvel_attrib_uri_cache, 2, "/h", huge.c_str(), 2),
                   fn + "17860): could not load " + huge + ", path too long\n");
    EXPECT_EQ(server->content_cache->count, 3u);
    EXPECT_EQ(stored(server->content_cache, "/c"), "<none>");

    char* saved = server->root;
    server->root = nullptr;
    expect_refused(quorvel_obj_set(object, quorvel_attrib_uri_cache, 2, "/a", "a.html", 2),
                   fn + "17838): could not load a.html, root directory must be defined first\n");
    server->root = saved;
}

TEST_F(Attributes, UnreadableCachedFileIsRefused)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind the superuser";
    std::string file = root.write("secret.html", "s");
    ASSERT_EQ(::chmod(file.c_str(), 0), 0);
    expect_refused(quorvel_obj_set(object, quorvel_attrib_uri_cache, 2, "/s", "secret.html", 2),
                   "error (quorvel_obj_set:: quorvel_attrib_uri_cache, 17962): could not open " +
                       file + " for reading");
}

TEST_F(Attributes, AddressFamiliesAndProtectionLevels)
{
    expect_refused(quorvel_obj_set(object, quorvel_attrib_afipv, 0x1u, SOCK_SET, 0u),
                   "error (quorvel_obj_set:: quorvel_attrib_afipv, 17682): no listeners "
                   "specified\n");
    ASSERT_EQ(quorvel_obj_set(object, quorvel_attrib_listener, 8080), 0);
    ASSERT_EQ(quorvel_obj_set(object, quorvel_attrib_listener, 8081), 0);
    const uint32_t base = SOCK_NAGLE | SOCK_BUFFERED | SOCK_REUSEADDR;
    auto families = [&](int i) { return server->listeners[i]->flags & ~base; };

    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_afipv, 0x1u, SOCK_SET, 0u), 0);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(families(i), uint32_t{SOCK_IPV6 | 0xE});
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_afipv, 0x11u, SOCK_SET, 0x2u), 0);
    EXPECT_EQ(families(0), uint32_t{SOCK_IPV6 | SOCK_IPV4 | SOCK_PL_RESTRICTED});
    // Only protection-level bits are taken from the third value.
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_afipv, 0x1u, SOCK_SET, 0xFFFFFFF7u), 0);
    EXPECT_EQ(families(1), uint32_t{SOCK_IPV6 | SOCK_PL_RESTRICTED | SOCK_PL_EDGE});
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_afipv, 0x10u, SOCK_SET, 0u), 0);
    EXPECT_EQ(families(1), uint32_t{SOCK_IPV4 | SOCK_PL_RESTRICTED | SOCK_PL_EDGE});
    EXPECT_EQ(log.text(), "");

    const std::string set_or_clear = "error (quorvel_obj_set:: quorvel_attrib_afipv, 17807): "
                                     "invalid third parameter, expecting a SOCK_SET or a "
                                     "SOCK_CLR\n";
    expect_refused(quorvel_obj_set(object, quorvel_attrib_afipv, 0x10u, 5, 0u),
                   set_or_clear + set_or_clear);
    const std::string no_af =
        "error (quorvel_obj_set:: quorvel_attrib_afipv, 17764): no AF specified\n";
    expect_refused(quorvel_obj_set(object, quorvel_attrib_afipv, 0x2u, SOCK_SET, 0u),
                   no_af + no_af);
    EXPECT_EQ(families(1), uint32_t{SOCK_IPV4 | SOCK_PL_RESTRICTED | SOCK_PL_EDGE});

    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_afipv, 0x11u, SOCK_SET, 0u), 0);
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_afipv, 0x1u, SOCK_CLR, 0u), 0);
    EXPECT_EQ(families(0), uint32_t{SOCK_IPV4});
    EXPECT_EQ(quorvel_obj_set(object, quorvel_attrib_afipv, 0x10u, SOCK_CLR, 0u), 0);
    EXPECT_EQ(families(0), 0u);
}

TEST_F(Attributes, SystemSettings)
{
    envelope* sys = quorvel_get_sys();
    EXPECT_EQ(quorvel_obj_set(sys, quorvel_attrib_tcpbuffsize, 32768), 0);
    EXPECT_EQ(default_tcp_buffer_size(), 32768);
    EXPECT_EQ(quorvel_obj_set(sys, quorvel_attrib_threadheap, 131072), 0);
    EXPECT_EQ(handler_heap_size(), 131072);
    EXPECT_EQ(quorvel_obj_set(sys, 9), 0);
    EXPECT_EQ(quorvel_obj_set(sys, quorvel_attrib_request_timeout, 30), 0);
    EXPECT_EQ(request_timeout_seconds(), 30);
    EXPECT_EQ(log.text(), "");

    for (int bad : {0, -1}) {
        expect_refused(quorvel_obj_set(sys, quorvel_attrib_tcpbuffsize, bad),
                       "error (quorvel_obj_set:: quorvel_attrib_tcpbuffsize, 17575): invalid "
                       "buffer size " +
                           std::to_string(bad) + ", expecting bytes above 0\n");
        expect_refused(quorvel_obj_set(sys, quorvel_attrib_threadheap, bad),
                       "error (quorvel_obj_set:: quorvel_attrib_threadheap, 17580): invalid "
                       "thread heap size " +
                           std::to_string(bad) + ", expecting bytes above 0\n");
        expect_refused(quorvel_obj_set(sys, quorvel_attrib_request_timeout, bad),
                       "error (quorvel_obj_set:: quorvel_attrib_request_timeout, 17585): invalid "
                       "time-out " +
                           std::to_string(bad) + ", expecting seconds above 0\n");
    }
    EXPECT_EQ(default_tcp_buffer_size(), 32768);
    EXPECT_EQ(handler_heap_size(), 131072);
    EXPECT_EQ(request_timeout_seconds(), 30);
}

TEST_F(Attributes, GetRefusesMissingAndUnsupportedObjects)
{
    errno = 0;
    EXPECT_EQ(quorvel_obj_get(nullptr, quorvel_attrib_uri), -1);
    qtest::expect_report(log, "", EINVAL, 160);
    envelope empty{quorvel_obj_connection, nullptr, 0};
    EXPECT_EQ(quorvel_obj_get(&empty, quorvel_attrib_uri), -1);
    qtest::expect_report(log, "", EINVAL, 160);

    const std::string unsupported =
        "error (quorvel_obj_get, 18517): operation not supported for provided object\n";
    expect_refused(quorvel_obj_get(object, quorvel_attrib_tcpbuffsize), unsupported);
    envelope* event = quorvel_obj_create(quorvel_obj_event);
    ASSERT_NE(event, nullptr);
    expect_refused(quorvel_obj_get(event, quorvel_attrib_status, 0), unsupported);
    EXPECT_EQ(quorvel_obj_destroy(event), 0);
}

TEST_F(Attributes, StreamReportsItsBufferCapacity)
{
    quorvel::socket* s = socket_create(8080);
    ASSERT_NE(s, nullptr);
    envelope stream{quorvel_obj_stream, s, 0};
    EXPECT_EQ(quorvel_obj_get(&stream, quorvel_attrib_tcpbuffsize), 0); // unbuffered
    s->buffer = buffer_create(4096);
    ASSERT_NE(s->buffer, nullptr);
    EXPECT_EQ(quorvel_obj_get(&stream, quorvel_attrib_tcpbuffsize), 4096);
    expect_refused(
        quorvel_obj_get(&stream, quorvel_attrib_uri),
        "error (quorvel_obj_get, 18276): provided attribute does not correspond with object\n");
    socket_destroy(&s);
}

TEST_F(Attributes, StatusOfAServerNeverStarted)
{
    expect_refused(quorvel_obj_get(object, quorvel_attrib_status, 0),
                   "error (quorvel_obj_get:: quorvel_attrib_status, 18525): server has not been "
                   "started\n");
    expect_refused(quorvel_obj_get(object, quorvel_attrib_status, 500),
                   "error (quorvel_obj_get:: quorvel_attrib_status, 18525): server has not been "
                   "started\n");
}

TEST_F(Attributes, StatusWaitsForTheKernelsOutcome)
{
    object->flags |= ENVELOPE_STARTED | ENVELOPE_LOCKED; // as the start leaves it
    EXPECT_EQ(quorvel_obj_get(object, quorvel_attrib_status, 0), 2);
    EXPECT_EQ(quorvel_obj_get(object, quorvel_attrib_status, 10), 2);
    expect_refused(quorvel_obj_get(object, quorvel_attrib_status, -1),
                   "error (quorvel_obj_get:: quorvel_attrib_status, 18527): invalid wait time -1, "
                   "expecting milliseconds from 0\n");
    std::thread kernel([this] { server_publish_state(server, SERVER_SERVING); });
    EXPECT_EQ(quorvel_obj_get(object, quorvel_attrib_status, 20000), 0);
    kernel.join();
    EXPECT_EQ(quorvel_obj_get(object, quorvel_attrib_status, 0), 0);
    server_publish_state(server, SERVER_FAILED);
    EXPECT_EQ(quorvel_obj_get(object, quorvel_attrib_status, 0), 1);
    EXPECT_EQ(server->status.load(), 1u);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(log.text(), "");
}

// A request record as the response side hands it to a URI callback.
class Connection : public ::testing::Test {
protected:
    void SetUp() override
    {
        quorvel_init();
        request.headers = htable_create(10);
        htable_store(request.headers, "HOST", 4, "example.org", 11, true, nullptr);
        htable_store(request.headers, "QUERY", 5, "x=1", 3, true, nullptr);
        request.uri = const_cast<char*>("/docs/a.html");
        request.local_path = const_cast<char*>("/srv/www/docs/a.html");
        log.clear();
    }
    void TearDown() override
    {
        htable_destroy(&request.headers);
        htable_destroy(&request.post_vars);
    }

    std::string text(int attribute, int size = 64)
    {
        std::string out(static_cast<size_t>(size > 0 ? size : 1), '#');
        last_rc = quorvel_obj_get(&connection, attribute, out.data(), size);
        return std::string(out.c_str());
    }

    qtest::ErrorLog log;
    request_data request{};
    envelope connection{quorvel_obj_connection, &request, 0};
    int last_rc = -2;
};

TEST_F(Connection, HeadersAndPostVariablesByAnyCaseName)
{
    char out[32];
    std::memset(out, '#', sizeof(out));
    EXPECT_EQ(quorvel_obj_get(&connection, quorvel_attrib_header, "Host", out, 32), 0);
    EXPECT_STREQ(out, "example.org");
    EXPECT_EQ(quorvel_obj_get(&connection, quorvel_attrib_header, "query", out, 32), 0);
    EXPECT_STREQ(out, "x=1");
    EXPECT_EQ(quorvel_obj_get(&connection, quorvel_attrib_header, "Missing", out, 32), -1);
    EXPECT_STREQ(out, "");
    // No POST body: no variables, and no complaint.
    EXPECT_EQ(quorvel_obj_get(&connection, quorvel_attrib_post, "A", out, 32), -1);
    EXPECT_EQ(log.text(), "");

    // A value must leave room for its terminator.
    std::memset(out, '#', sizeof(out));
    EXPECT_EQ(quorvel_obj_get(&connection, quorvel_attrib_header, "host", out, 11), 11);
    EXPECT_EQ(std::string(out, 11), std::string(11, '\0'));
    qtest::expect_report(log, "error (htable_getcopy, 7505): No space left on device\n", ENOSPC, 8);
    EXPECT_EQ(quorvel_obj_get(&connection, quorvel_attrib_header, "host", out, 12), 0);
    EXPECT_STREQ(out, "example.org");

    request.post_vars = htable_create(10);
    std::string long_name(255, 'N');
    htable_store(request.post_vars, long_name.data(), 255, "long", 4, true, nullptr);
    htable_store(request.post_vars, "A", 1, "1", 1, true, nullptr);
    EXPECT_EQ(quorvel_obj_get(&connection, quorvel_attrib_post, "a", out, 32), 0);
    EXPECT_STREQ(out, "1");
    std::string longer(300, 'n'); // cut to 255 before the lookup
    EXPECT_EQ(quorvel_obj_get(&connection, quorvel_attrib_post, longer.c_str(), out, 32), 0);
    EXPECT_STREQ(out, "long");

    char* value = reinterpret_cast<char*>(1);
    unsigned size = 99;
    EXPECT_EQ(quorvel_obj_get(&connection, quorvel_attrib_post_ref, "a", &value, &size), 0);
    EXPECT_EQ(size, 1u);
    EXPECT_EQ(std::string(value, size), "1");
    EXPECT_EQ(value, stored_pointer(request.post_vars, "A"));
    EXPECT_EQ(quorvel_obj_get(&connection, quorvel_attrib_post_ref, "b", &value, &size), -1);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(log.text(), "");
}

TEST_F(Connection, UriAndLocalPathTexts)
{
    EXPECT_EQ(text(quorvel_attrib_uri), "/docs/a.html");
    EXPECT_EQ(last_rc, 0);
    EXPECT_EQ(text(quorvel_uri_path), "/docs");
    EXPECT_EQ(text(quorvel_attrib_local_url), "/srv/www/docs/a.html");
    EXPECT_EQ(text(quorvel_attrib_local_url_path), "/srv/www/docs");
    EXPECT_EQ(last_rc, 0);

    request.uri = const_cast<char*>("/a.html");
    EXPECT_EQ(text(quorvel_uri_path), "/");
    request.uri = const_cast<char*>("/docs/");
    EXPECT_EQ(text(quorvel_uri_path), "/docs");
    request.uri = const_cast<char*>("plain");
    EXPECT_EQ(text(quorvel_uri_path), "plain");
    request.local_path = const_cast<char*>("/top.html");
    EXPECT_EQ(text(quorvel_attrib_local_url_path), "/");
    EXPECT_EQ(log.text(), "");

    request.local_path = nullptr;
    EXPECT_EQ(text(quorvel_attrib_local_url), "");
    EXPECT_EQ(last_rc, -1);
    EXPECT_EQ(text(quorvel_attrib_local_url_path), "");
    EXPECT_EQ(last_rc, -1);
    request.uri = nullptr;
    EXPECT_EQ(text(quorvel_attrib_uri), std::string(64, '#'));
    EXPECT_EQ(last_rc, -1);
    EXPECT_EQ(log.text(), "");
}

TEST_F(Connection, StorageTooSmallEmptiesTheOutput)
{
    auto too_small = [&](int attribute, int size, const std::string& line) {
        EXPECT_EQ(text(attribute, size), "");
        EXPECT_EQ(last_rc, -1);
        qtest::expect_report(log, line, ENOMEM, 0);
    };
    // Exactly the text's length leaves no room for the terminator.
    too_small(quorvel_attrib_uri, 12,
              "error (quorvel_obj_get::quorvel_attrib_uri, 18416): storage size to receive URL "
              "too small\n");
    EXPECT_EQ(text(quorvel_attrib_uri, 13), "/docs/a.html");
    too_small(quorvel_uri_path, 5,
              "error (quorvel_obj_get::quorvel_uri_path, 18377): storage to receive URI path too "
              "small\n");
    EXPECT_EQ(text(quorvel_uri_path, 6), "/docs");
    too_small(quorvel_attrib_local_url, 20,
              "error (quorvel_obj_set:: quorvel_attrib_local_url, 18312): storage size to "
              "receive URL too small\n");
    too_small(quorvel_attrib_local_url_path, 13,
              "error (quorvel_obj_get:: quorvel_attrib_local_url_path, 18342): storage size to "
              "receive URL too small\n");
    EXPECT_EQ(text(quorvel_attrib_uri, 0), "#"); // nothing may be written
    EXPECT_EQ(last_rc, -1);
    qtest::expect_report(log,
                         "error (quorvel_obj_get::quorvel_attrib_uri, 18416): storage size to "
                         "receive URL too small\n",
                         ENOMEM, 0);
}

TEST_F(Connection, BufferCapacityAndUnknownAttributes)
{
    EXPECT_EQ(quorvel_obj_get(&connection, quorvel_attrib_tcpbuffsize), 0);
    quorvel::socket* s = socket_create(8080);
    ASSERT_NE(s, nullptr);
    s->buffer = buffer_create(66560);
    request.sock = s;
    EXPECT_EQ(quorvel_obj_get(&connection, quorvel_attrib_tcpbuffsize), 66560);
    request.sock = nullptr;
    socket_destroy(&s);

    char out[16];
    for (int attribute : {int{quorvel_attrib_cookie}, int{quorvel_attrib_mime}, 99}) {
        EXPECT_EQ(quorvel_obj_get(&connection, attribute, "id", out, 16), -1);
        qtest::expect_report(
            log,
            "error (quorvel_obj_get, 18507): provided attribute does not correspond with "
            "object\n",
            EINVAL, 160);
    }
}

} // namespace
