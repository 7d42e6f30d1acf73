// Loading bubbles into servers: a plug-in found at the start answers its URL and protocol on
// the wire, a missing symbol stops the load before any association, bubble_main decides for a
// plug-in without registration data, two servers share one plug-in directory, and damaged
// registration data is refused with its line.
#include "bubbles/load.h"

#include "quorvel.h"
#include "support/support.h"
#include "support/wire.h"

#include <arpa/inet.h>
#include <filesystem>
#include <sys/socket.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr int WAIT_MS = 10000;
const std::string BUILT = QUORVEL_BINARY_DIR;
const std::string HELLO = BUILT + "/examples/bubbles/hello_bubble.bbl";
const std::string MAIN = BUILT + "/tests/main_bubble.bbl";

class Bubbles : public ::testing::Test {
protected:
    void SetUp() override { quorvel_init(); }
    void TearDown() override
    {
        for (envelope* server : servers)
            EXPECT_EQ(quorvel_obj_destroy(server), 0);
    }
    // A server on 127.0.0.1 loading the plug-ins of `directory`, started; its port.
    int serve(const std::string& directory)
    {
        envelope* server = quorvel_obj_create(quorvel_obj_server, 2u, root.path().c_str());
        log.clear(); // "root directory set to ..."
        EXPECT_EQ(quorvel_obj_set(server, quorvel_attrib_bubbles, directory.c_str()), 0);
        servers.push_back(server);
        return qtest::serve_on_loopback(server, WAIT_MS);
    }
    // The answer to GET `path`.
    static std::string get(int port, const std::string& path)
    {
        int fd = qtest::connect_loopback(port, WAIT_MS);
        qtest::send_all(fd, "GET " + path + " HTTP/1.0\r\n\r\n");
        std::string reply = qtest::read_to_end(fd, WAIT_MS);
        ::close(fd);
        return reply;
    }
    // A frame sent on the protocol `name`, and the frame that comes back.
    static std::string exchange(int port, const std::string& name, const std::string& text)
    {
        int fd = qtest::connect_loopback(port, WAIT_MS);
        uint32_t length = htonl(static_cast<uint32_t>(text.size()));
        qtest::send_all(fd,
                        "&" + name + ";" + std::string(reinterpret_cast<char*>(&length), 4) + text);
        ::shutdown(fd, SHUT_WR);
        std::string reply = qtest::read_to_end(fd, WAIT_MS);
        ::close(fd);
        return reply.size() >= 4 ? reply.substr(4) : "<" + reply + ">";
    }
    std::string plugins(const std::vector<std::pair<std::string, std::string>>& files)
    {
        std::string directory = dir.file("plugins" + std::to_string(++made));
        fs::create_directories(directory);
        for (const auto& [from, name] : files)
            fs::copy_file(from, directory + "/" + name);
        return directory;
    }

    qtest::ErrorLog log;
    qtest::TempDir dir;
    qtest::TempDir root;
    std::vector<envelope*> servers;
    int made = 0;
};

} // namespace

TEST_F(Bubbles, APluginInTheDirectoryAnswersItsUrlAndProtocolInTwoServers)
{
    std::string directory = plugins({{HELLO, "hello.bbl"}, {HELLO, "readme.txt"}});
    int first = serve(directory);
    int second = serve(directory);
    for (int port : {first, second}) {
        std::string reply = get(port, "/bubble/hello?a<b");
        EXPECT_TRUE(reply.starts_with("HTTP/1.0 200 OK\r\n")) << reply;
        EXPECT_TRUE(reply.ends_with("Hello from a bubble, a&#60;b!</p>\n")) << reply;
        EXPECT_EQ(exchange(port, "upper", "shout"), "SHOUT");
    }
    // The first server goes; the library stays while the second can call into it.
    EXPECT_EQ(quorvel_obj_destroy(servers.front()), 0);
    servers.erase(servers.begin());
    EXPECT_TRUE(get(second, "/bubble/hello").ends_with("stranger!</p>\n"));
    EXPECT_EQ(log.text(), "");
}

TEST_F(Bubbles, AMissingSymbolStopsTheLoadBeforeAnyAssociation)
{
    std::string directory = plugins({{HELLO, "hello.bbl"}});
    std::string plugin = directory + "/hello.bbl";
    ASSERT_EQ(quorvel_bubble_assign_prop(plugin.c_str(), QUORVEL_PROP_URI | QUORVEL_GET,
                                         "no_such_function", QUORVEL_ENC_TEXT, "/none"),
              0);
    int port = serve(directory);
    EXPECT_EQ(log.text(),
              "error (quorvel_bubble_load, 19609): error 127 encountered loading symbol "
              "no_such_function from bubble " +
                  plugin + "\nerror (quorvel_obj_start, 16376): could not load bubble hello.bbl\n");
    EXPECT_TRUE(get(port, "/bubble/hello").starts_with("HTTP/1.0 404"));
}

TEST_F(Bubbles, BubbleMainDecidesForAPluginWithoutRegistrationData)
{
    // bubble_main maps /main itself, then answers true or false.
    ::setenv("QUORVEL_TEST_MAIN", "1", 1);
    int port = serve(plugins({{MAIN, "main.bbl"}}));
    EXPECT_TRUE(get(port, "/main").ends_with("from bubble_main"));
    EXPECT_EQ(log.text(), "");

    ::setenv("QUORVEL_TEST_MAIN", "0", 1);
    std::string directory = plugins({{MAIN, "main.bbl"}});
    port = serve(directory);
    EXPECT_EQ(log.text(), "error (quorvel_bubble_load, 19210): load of " + directory +
                              "/main.bbl failed, unregistered bubble\n"
                              "error (quorvel_obj_start, 16376): could not load bubble main.bbl\n");
    // What bubble_main mapped before it failed still works: its library stayed loaded.
    EXPECT_TRUE(get(port, "/main").ends_with("from bubble_main"));
}

TEST_F(Bubbles, DamagedRegistrationDataIsRefusedWithItsLine)
{
    envelope* server = quorvel_obj_create(quorvel_obj_server, 1u, root.path().c_str());
    servers.push_back(server);
    std::string library = qtest::read_file(HELLO);
    size_t data = library.size() - 11;
    uint32_t header = 0;
    std::memcpy(&header, library.data() + data, 4);
    std::string plain = library.substr(0, header);
    auto le32 = [](uint32_t v) { return std::string(reinterpret_cast<char*>(&v), 4); };
    const std::pair<std::string, std::string> files[] = {
        {"xy", "failed on SEEK_END"},
        {plain, "failed, unregistered bubble"},
        {plain + le32(0) + le32(header) + "stagend", "failed, no properties defined"},
        {plain + le32(1) + le32(header + 100) + "stagend",
         "failed, could not seek offset: " + std::to_string(header + 100)},
        // A name length beyond the file, and a count beyond the records.
        {plain + le32(1) + std::string("\x08\0", 2) + le32(1 << 30) + "x" + le32(header) +
             "stagend",
         "failed, error reading load name"},
    };
    for (const auto& [content, text] : files) {
        std::string path = dir.write("damaged.bbl", content);
        log.clear();
        EXPECT_EQ(quorvel_bubble_load(server, path.c_str()), -1) << text;
        EXPECT_TRUE(log.text().find("load of " + path + " " + text + "\n") != std::string::npos)
            << log.text();
    }
    std::string counted =
        dir.write("counted.bbl", plain + le32(3) + std::string("\x08\0", 2) + le32(5) + "upper" +
                                     le32(header) + "stagend");
    log.clear();
    EXPECT_EQ(quorvel_bubble_load(server, counted.c_str()), -1);
    EXPECT_TRUE(log.contains("encountered loading symbol  from bubble")) << log.text();
    EXPECT_EQ(quorvel_bubble_load(nullptr, counted.c_str()), -1);
}
