// The protocol table: registration through quorvel_obj_create, its refusals, and the freeze
// and lock strip that come with a server start.
#include "core/report.h"
#include "foundation/htable.h"
#include "http/protocol.h"
#include "quorvel.h"
#include "support/support.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <string>

using namespace quorvel;

namespace {

int first(envelope*)
{
    return 0;
}

int second(envelope*)
{
    return 7;
}

envelope* registered(const char* name, quorvel_protocol_fn fn)
{
    return quorvel_obj_create(quorvel_obj_protocol, name, fn);
}

const envelope* const REGISTERED = reinterpret_cast<envelope*>(1);

} // namespace

TEST(Protocol, RegistrationNeedsTheLibrary)
{
    qtest::ErrorLog log;
    EXPECT_EQ(registered("early", first), nullptr);
    qtest::expect_report(
        log, "error (quorvel_obj_create, 16298): core not initialized, call quorvel_init\n", EINVAL,
        LAST_BAD_ARGUMENTS);
    EXPECT_FALSE(protocol_table_exists());
}

TEST(Protocol, NamesAreLookedUpByTheirExactBytesAndTheLastRegistrationWins)
{
    qtest::ErrorLog log;
    quorvel_init();
    EXPECT_EQ(protocol_lookup("echo", 4), nullptr);
    EXPECT_EQ(registered("echo", first), REGISTERED);
    EXPECT_EQ(errno, 0);
    EXPECT_TRUE(protocol_table_exists());
    EXPECT_EQ(protocol_lookup("echo", 4), &first);
    EXPECT_EQ(protocol_lookup("echo", 3), nullptr);
    EXPECT_EQ(protocol_lookup("ECHO", 4), nullptr);
    EXPECT_EQ(protocol_lookup("echox", 5), nullptr);

    EXPECT_EQ(registered("echo", second), REGISTERED);
    EXPECT_EQ(protocol_lookup("echo", 4), &second);
    EXPECT_EQ(protocol_lookup("", 0), nullptr);
    EXPECT_EQ(log.text(), "");
}

TEST(Protocol, NamesMustFitTheAnnouncement)
{
    qtest::ErrorLog log;
    quorvel_init();
    const std::string longest(PROTOCOL_REGISTER_MAX, 'p');
    EXPECT_EQ(registered(longest.c_str(), first), REGISTERED);
    EXPECT_EQ(protocol_lookup(longest.c_str(), PROTOCOL_REGISTER_MAX), &first);

    const std::string refused =
        "error (quorvel_obj_create::quorvel_obj_protocol, 16240): invalid protocol name, at "
        "most 77 characters without ';' expected\n";
    const std::string too_long(PROTOCOL_REGISTER_MAX + 1, 'q');
    for (const std::string& name : {too_long, std::string(), std::string("a;b")}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(registered(name.c_str(), first), nullptr);
        qtest::expect_report(log, refused, EINVAL, LAST_BAD_ARGUMENTS);
    }
    EXPECT_EQ(protocol_lookup(too_long.c_str(), PROTOCOL_REGISTER_MAX + 1), nullptr);

    const std::string null_line =
        "error (quorvel_obj_create::quorvel_obj_protocol, 16236): null argument passed\n";
    EXPECT_EQ(registered(nullptr, first), nullptr);
    qtest::expect_report(log, null_line, EINVAL, LAST_BAD_ARGUMENTS);
    EXPECT_EQ(registered("nofn", nullptr), nullptr);
    qtest::expect_report(log, null_line, EINVAL, LAST_BAD_ARGUMENTS);
    EXPECT_EQ(protocol_lookup("nofn", 4), nullptr);
}

TEST(Protocol, AStartFreezesTheTableAndTheKernelStripsItsLockOnce)
{
    qtest::ErrorLog log;
    quorvel_init();
    EXPECT_EQ(registered("before", first), REGISTERED);
    protocol_freeze();
    EXPECT_EQ(registered("after", first), nullptr);
    qtest::expect_report(log,
                         "error (quorvel_obj_create::quorvel_obj_protocol, 16244): protocols must "
                         "be registered before the first server start\n",
                         EINVAL, LAST_BAD_ARGUMENTS);
    EXPECT_EQ(registered("before", second), nullptr);
    log.clear();

    protocol_strip();
    protocol_strip(); // a second server's kernel finds the lock gone
    EXPECT_EQ(protocol_lookup("before", 6), &first);
    EXPECT_EQ(protocol_lookup("after", 5), nullptr);
    EXPECT_EQ(log.text(), "");
}

TEST(Protocol, AStripWithoutRegistrationsLeavesNoTable)
{
    qtest::ErrorLog log;
    quorvel_init();
    protocol_strip();
    EXPECT_FALSE(protocol_table_exists());
    EXPECT_EQ(registered("late", first), nullptr);
    EXPECT_FALSE(protocol_table_exists());
}
