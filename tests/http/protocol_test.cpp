#include "http/protocol.h"

#include "api/envelope.h"
#include "core/report.h"
#include "quorvel.h"
#include "support/support.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <string>
#include <utility>

using namespace quorvel;

TEST(Protocol, NamesAreCheckedLookedUpExactlyAndFrozenByAStart)
{
    qtest::ErrorLog log;
    quorvel_init();
    const quorvel_protocol_fn first = [](envelope*) { return 0; };
    const quorvel_protocol_fn second = [](envelope*) { return 1; };
    auto add = [](const std::string& name, quorvel_protocol_fn fn) {
        return quorvel_obj_create(quorvel_obj_protocol, name.c_str(), fn);
    };
    auto refused = [&](const std::string& line) {
        qtest::expect_report(log, "error (quorvel_obj_create::quorvel_obj_protocol, " + line + "\n",
                             EINVAL, LAST_BAD_ARGUMENTS);
    };
    EXPECT_NE(add("echo", second), nullptr);
    EXPECT_NE(add("echo", first), nullptr); // the last registration wins
    EXPECT_EQ(protocol_lookup("echo", 4), first);
    for (auto [name, size] : {std::pair{"echo", 3u}, {"ECHO", 4u}, {"echox", 5u}, {"", 0u}})
        EXPECT_EQ(protocol_lookup(name, size), nullptr) << name;
    EXPECT_EQ(log.text(), "");
    // 77 characters are accepted (the kernel test registers such a name).
    for (const std::string& name :
         {std::string(PROTOCOL_REGISTER_MAX + 1, 'c'), std::string(), std::string("a;b")}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(add(name, first), nullptr);
        refused("16240): invalid protocol name, at most 77 characters without ';' expected");
    }
    protocol_freeze();
    EXPECT_EQ(add("after", first), nullptr);
    refused("16244): protocols must be registered before the first server start");
    protocol_strip();
    protocol_strip(); // a second server's kernel finds the lock gone
    EXPECT_EQ(protocol_lookup("echo", 4), first);
    EXPECT_EQ(protocol_lookup("after", 5), nullptr);
}
