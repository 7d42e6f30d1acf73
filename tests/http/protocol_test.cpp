#include "http/protocol.h"

#include "core/envelope.h"
#include "core/report.h"
#include "quorvel.h"
#include "support/support.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <string>
#include <utility>

using namespace quorvel;

namespace {

int first(envelope*)
{
    return 0;
}

int second(envelope*)
{
    return 1;
}

} // namespace

TEST(Protocol, NamesAreCheckedLookedUpExactlyAndFrozenByAStart)
{
    qtest::ErrorLog log;
    quorvel_init();
    auto add = [](const std::string& name, quorvel_protocol_fn fn) {
        return quorvel_obj_create(quorvel_obj_protocol, name.c_str(), fn);
    };
    EXPECT_NE(add("echo", second), nullptr);
    EXPECT_NE(add("echo", first), nullptr); // the last registration wins
    EXPECT_EQ(protocol_lookup("echo", 4), &first);
    for (auto [name, size] : {std::pair{"echo", 3u}, {"ECHO", 4u}, {"echox", 5u}, {"", 0u}})
        EXPECT_EQ(protocol_lookup(name, size), nullptr) << name;
    EXPECT_EQ(log.text(), "");

    for (const std::string& name :
         {std::string(PROTOCOL_REGISTER_MAX + 1, 'c'), std::string(), std::string("a;b")}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(add(name, first), nullptr);
        qtest::expect_report(log,
                             "error (quorvel_obj_create::quorvel_obj_protocol, 16240): invalid "
                             "protocol name, at most 77 characters without ';' expected\n",
                             EINVAL, LAST_BAD_ARGUMENTS);
    }
    protocol_freeze();
    EXPECT_EQ(add("after", first), nullptr);
    qtest::expect_report(log,
                         "error (quorvel_obj_create::quorvel_obj_protocol, 16244): protocols must "
                         "be registered before the first server start\n",
                         EINVAL, LAST_BAD_ARGUMENTS);
    protocol_strip();
    protocol_strip(); // a second server's kernel finds the lock gone
    EXPECT_EQ(protocol_lookup("echo", 4), &first);
    EXPECT_EQ(protocol_lookup("after", 5), nullptr);
}
