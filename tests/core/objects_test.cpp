#include "core/envelope.h"
#include "quorvel.h"

#include "support/support.h"

#include <atomic>
#include <cerrno>
#include <gtest/gtest.h>

namespace {

void quiet_body(quorvel_thread* self, void* arg)
{
    static_cast<std::atomic<int>*>(arg)->fetch_add(1);
    while (quorvel_thread_continue(self) == 0) {
    }
}

const char* const not_supported =
    "error (quorvel_obj_create, 16283): invalid object type, object not supported\n";

} // namespace

TEST(Objects, WhatWorksBeforeAndAfterInit)
{
    qtest::ErrorLog log;
    qtest::TempDir dir;
    EXPECT_EQ(quorvel_isinitialized(), -1);
    EXPECT_EQ(quorvel_obj_create(quorvel_obj_event), nullptr);
    qtest::expect_report(
        log, "error (quorvel_obj_create, 16298): core not initialized, call quorvel_init\n", EINVAL,
        160);
    EXPECT_EQ(quorvel_obj_create(quorvel_obj_log, static_cast<const char*>(nullptr)), nullptr);
    // errno is still set by the first failure, so the second line carries its text.
    EXPECT_EQ(log.text(), "error (log_create, 3056): null argument passed\n"
                          "error (quorvel_obj_create, 16298): Invalid argument\n");
    // Logs and threads need no init; a created thread runs even when stopped at once.
    envelope* file = quorvel_obj_create(quorvel_obj_log, dir.file("x.log").c_str());
    std::atomic<int> ran{0};
    envelope* thread = quorvel_obj_create(quorvel_obj_thread, quiet_body, static_cast<void*>(&ran));
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(quorvel_obj_destroy(thread), 0);
    EXPECT_EQ(ran.load(), 1);
    EXPECT_EQ(quorvel_obj_destroy(file), 0);

    EXPECT_EQ(quorvel_init(), 0);
    EXPECT_EQ(quorvel_init(), 0);
    EXPECT_EQ(quorvel_isinitialized(), 0);
    for (unsigned type : {quorvel_obj_mutex, quorvel_obj_event}) {
        envelope* e = quorvel_obj_create(type);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(quorvel_obj_destroy(e), 0);
    }
    log.clear();
    for (unsigned tag : {4u, 5u, 9u, 10u, 11u, 13u, 99u}) {
        errno = 0;
        EXPECT_EQ(quorvel_obj_create(tag), nullptr);
        qtest::expect_report(log, not_supported, EINVAL, 160);
    }
}

TEST(Objects, DestroyRefusesNullAndObjectsItDoesNotOwn)
{
    qtest::ErrorLog log;
    quorvel_init();
    const std::string foreign =
        "error (quorvel_obj_destroy, 17361): operation not supported for provided object\n";
    EXPECT_EQ(quorvel_obj_destroy(nullptr), -1);
    qtest::expect_report(log, "error (quorvel_obj_destroy, 17321): null argument passed\n", EINVAL,
                         160);
    EXPECT_EQ(quorvel_obj_destroy(quorvel_get_sys()), -1);
    qtest::expect_report(log, foreign, EINVAL, 160);
    envelope fake{quorvel_obj_connection, &log, 0};
    EXPECT_EQ(quorvel_obj_destroy(&fake), -1);
    qtest::expect_report(log, foreign, EINVAL, 160);
    char* copy = quorvel_make_return_value("bad input");
    EXPECT_STREQ(copy, "bad input");
    quorvel_mem_free(copy);
    EXPECT_EQ(quorvel_make_return_value(nullptr), nullptr);
}
