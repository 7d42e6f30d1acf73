/* A minimal check for the C programs that test the public header: a failed condition is
 * printed with its place and counted; main returns failures == 0 ? 0 : 1. */
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

#endif
