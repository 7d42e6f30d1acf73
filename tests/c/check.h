/* A failed condition is printed with its place and counted; DONE() ends main. */
#ifndef QUORVEL_TEST_CHECK_H
#define QUORVEL_TEST_CHECK_H

#include <stdio.h>

static int failures = 0;

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);               \
            failures++;                                                                            \
        }                                                                                          \
    } while (0)

#define DONE() return failures == 0 ? (printf("ok\n"), 0) : 1

#endif
