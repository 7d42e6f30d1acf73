#include "api/envelope.h"
#include "quorvel.h"
#include "support/support.h"

using namespace qtest;

static void quiet_body(quorvel_thread* self, void* arg)
{
    static_cast<std::atomic<int>*>(arg)->fetch_add(1);
    while (quorvel_thread_continue(self) == 0) {
    }
}

TEST(Objects, WhatWorksBeforeAndAfterInit)
{
    ErrorLog log;
    auto refused = [&log](const char* where, const char* text) {
        expect_report(log, "error (" + std::string(where) + "): " + text + "\n", EINVAL, 160);
    };
    EXPECT_EQ(quorvel_isinitialized(), -1);
    EXPECT_EQ(quorvel_obj_create(quorvel_obj_event), nullptr);
    refused("quorvel_obj_create, 16298", "core not initialized, call quorvel_init");
    EXPECT_EQ(quorvel_obj_create(quorvel_obj_log, static_cast<const char*>(nullptr)), nullptr);
    // errno is still set by the first failure, so the second line carries its text.
    EXPECT_EQ(log.text(), "error (log_create, 3056): null argument passed\n"
                          "error (quorvel_obj_create, 16298): Invalid argument\n");
    std::atomic<int> ran{0}; // threads need no init and run even when stopped at once
    envelope* thread = quorvel_obj_create(quorvel_obj_thread, quiet_body, static_cast<void*>(&ran));
    EXPECT_EQ(quorvel_obj_destroy(thread), 0);
    EXPECT_EQ(ran.load(), 1);
    EXPECT_EQ(quorvel_init(), 0);
    EXPECT_EQ(quorvel_init(), 0);
    EXPECT_EQ(quorvel_isinitialized(), 0);
    EXPECT_EQ(quorvel_obj_destroy(quorvel_obj_create(quorvel_obj_mutex)), 0);
    log.clear();
    for (unsigned tag : {4u, 5u, 9u, 10u, 11u, 13u, 99u}) {
        EXPECT_EQ(quorvel_obj_create(tag), nullptr);
        refused("quorvel_obj_create, 16283", "invalid object type, object not supported");
    }
    EXPECT_EQ(quorvel_obj_destroy(nullptr), -1);
    refused("quorvel_obj_destroy, 17321", "null argument passed");
    envelope fake{quorvel_obj_connection, &log, 0};
    for (envelope* foreign : {quorvel_get_sys(), &fake}) {
        EXPECT_EQ(quorvel_obj_destroy(foreign), -1);
        refused("quorvel_obj_destroy, 17361", "operation not supported for provided object");
    }
}
