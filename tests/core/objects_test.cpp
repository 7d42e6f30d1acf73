#include "core/envelope.h"
#include "quorvel.h"

#include "support/support.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>

namespace {

void quiet_body(quorvel_thread* self, void* arg)
{
    auto* ran = static_cast<std::atomic<int>*>(arg);
    ran->fetch_add(1);
    while (quorvel_thread_continue(self) == 0) {
    }
}

} // namespace

TEST(Objects, InitialisedFlagAroundInit)
{
    EXPECT_EQ(quorvel_isinitialized(), -1);
    EXPECT_EQ(quorvel_init(), 0);
    EXPECT_EQ(quorvel_isinitialized(), 0);
    EXPECT_EQ(quorvel_init(), 0);
    EXPECT_EQ(quorvel_isinitialized(), 0);
}

TEST(Objects, UnknownTagsAreRefused)
{
    qtest::ErrorLog log;
    quorvel_init();
    for (unsigned tag : {4u, 5u, 9u, 10u, 11u, 13u, 99u}) {
        log.clear();
        errno = 0;
        EXPECT_EQ(quorvel_obj_create(tag), nullptr);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(quorvel_last_error(), 160u);
        EXPECT_EQ(log.text(),
                  "error (quorvel_obj_create, 16283): invalid object type, object not supported\n");
    }
}

TEST(Objects, TagsNeedingInitFailBeforeIt)
{
    qtest::ErrorLog log;
    EXPECT_EQ(quorvel_obj_create(quorvel_obj_mutex), nullptr);
    EXPECT_EQ(quorvel_obj_create(quorvel_obj_event), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(quorvel_last_error(), 160u);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              "error (quorvel_obj_create, 16298): core not initialized, call quorvel_init\n");
}

TEST(Objects, LogAndThreadWorkBeforeInit)
{
    qtest::TempDir dir;
    envelope* log = quorvel_obj_create(quorvel_obj_log, dir.file("x.log").c_str());
    ASSERT_NE(log, nullptr);
    std::atomic<int> ran{0};
    envelope* thread = quorvel_obj_create(quorvel_obj_thread, quiet_body, static_cast<void*>(&ran));
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(quorvel_obj_destroy(thread), 0);
    EXPECT_EQ(ran.load(), 1); // once created, the body runs even when stopped at once
    EXPECT_EQ(quorvel_obj_destroy(log), 0);
    EXPECT_EQ(qtest::read_file(dir.file("x.log")), "");
}

TEST(Objects, FailedLogCreationBeforeInitAlsoSaysCoreNotInitialised)
{
    qtest::ErrorLog log;
    EXPECT_EQ(quorvel_obj_create(quorvel_obj_log, static_cast<const char*>(nullptr)), nullptr);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "error (log_create, 3056): null argument passed\n");
    // errno is still set by the first failure, so the second line carries its text.
    EXPECT_EQ(lines[1], "error (quorvel_obj_create, 16298): Invalid argument\n");
}

TEST(Objects, DestroyRefusesNullAndObjectsItDoesNotOwn)
{
    qtest::ErrorLog log;
    quorvel_init();
    EXPECT_EQ(quorvel_obj_destroy(nullptr), -1);
    EXPECT_EQ(quorvel_obj_destroy(quorvel_get_sys()), -1);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "error (quorvel_obj_destroy, 17321): null argument passed\n");
    EXPECT_EQ(lines[1],
              "error (quorvel_obj_destroy, 17361): operation not supported for provided object\n");
    envelope fake{quorvel_obj_connection, &lines, 0};
    log.clear();
    EXPECT_EQ(quorvel_obj_destroy(&fake), -1);
    EXPECT_EQ(log.text(),
              "error (quorvel_obj_destroy, 17361): operation not supported for provided object\n");
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(quorvel_last_error(), 160u);
}

TEST(Objects, MutexAndEventEnvelopesRoundTrip)
{
    qtest::ErrorLog log;
    quorvel_init();
    envelope* m = quorvel_obj_create(quorvel_obj_mutex);
    envelope* e = quorvel_obj_create(quorvel_obj_event);
    ASSERT_NE(m, nullptr);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(quorvel_obj_destroy(m), 0);
    EXPECT_EQ(quorvel_obj_destroy(e), 0);
    EXPECT_EQ(quorvel_last_error(), 0u);
    EXPECT_TRUE(log.lines().empty());
}

TEST(Objects, SystemObjectAndSmallCalls)
{
    envelope* sys = quorvel_get_sys();
    ASSERT_NE(sys, nullptr);
    EXPECT_EQ(sys, quorvel_get_sys());
    EXPECT_EQ(quorvel_make_return_value(nullptr), nullptr);
    char* copy = quorvel_make_return_value("bad input");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "bad input");
    quorvel_mem_free(copy);
    EXPECT_EQ(quorvel_thread_continue(nullptr), 0);
}
