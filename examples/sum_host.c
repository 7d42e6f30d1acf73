/* A host for the user-defined protocol "sum": a client opens a connection with "&sum;",
 * sends two 32-bit integers marshalled as "ii" and receives their sum marshalled as "i"
 * (wrapping around like 32-bit arithmetic); one exchange per connection.
 *
 *     sum_host PORT [LOG]
 *
 * Serves on 127.0.0.1:PORT (0: a free port), writing the library's lines to LOG (default
 * sum_host.log), and prints "serving on 127.0.0.1:PORT" with the port bound once the
 * listener is open. It runs until it receives SIGTERM or SIGINT, then destroys the server
 * and the log and exits with status 0; it exits with status 1 when the server cannot be set
 * up or started. Uses the public header only. */
#define _POSIX_C_SOURCE 200809L

#include "quorvel.h"

#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

/* Called on a connection handler thread, with the stream positioned after "&sum;". */
static int sum(envelope* stream)
{
    int32_t a = 0;
    int32_t b = 0;
    int32_t total;
    if (quorvel_unmarshal(stream, "ii", &a, &b) != 0)
        return 1;
    total = (int32_t)((uint32_t)a + (uint32_t)b);
    return quorvel_marshal(stream, "i", total) == 0 ? 0 : 2;
}

static int fail(const char* what)
{
    int error_number = errno;
    fprintf(stderr, "sum_host: %s (errno %d, last error %u)\n", what, error_number,
            (unsigned)quorvel_last_error());
    return 1;
}

int main(int argc, char** argv)
{
    const char* log_path = argc > 2 ? argv[2] : "sum_host.log";
    envelope* log;
    envelope* server;
    sigset_t stop;
    char* end = NULL;
    long port;
    int signal_number = 0;
    int status = 1;

    if (argc < 2) {
        fprintf(stderr, "usage: sum_host PORT [LOG]\n");
        return 1;
    }
    port = strtol(argv[1], &end, 10);
    if (end == argv[1] || *end != '\0' || port < 0 || port > 65534) {
        fprintf(stderr, "sum_host: invalid port %s\n", argv[1]);
        return 1;
    }

    /* Blocked before the library starts any thread, so every thread inherits the mask and
     * the stop signals reach only the sigwait below. */
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    if (sigprocmask(SIG_BLOCK, &stop, NULL) != 0)
        return fail("cannot block the stop signals");

    quorvel_init();
    log = quorvel_obj_create(quorvel_obj_log, log_path);
    if (log == NULL)
        return fail("cannot create the log");
    server = quorvel_obj_create(quorvel_obj_server, 4u, (const char*)NULL);
    if (server == NULL) {
        quorvel_obj_destroy(log);
        return fail("cannot create the server");
    }
    if (quorvel_obj_set(server, quorvel_attrib_listener_addr, (int)port, "127.0.0.1") != 0)
        fail("cannot add the listener");
    else if (quorvel_obj_create(quorvel_obj_protocol, "sum", sum) == NULL)
        fail("cannot register the protocol");
    else if (quorvel_obj_start(server) != 0)
        fail("cannot start the server");
    else if (quorvel_obj_get(server, quorvel_attrib_status, 10000) != 0)
        fail("the server did not come up");
    else
        status = 0;

    if (status == 0) {
        printf("serving on 127.0.0.1:%d\n",
               quorvel_obj_get(server, quorvel_attrib_listener_addr, 0));
        fflush(stdout);
        if (sigwait(&stop, &signal_number) != 0)
            status = 1;
    }
    quorvel_obj_destroy(server);
    quorvel_obj_destroy(log);
    return status;
}
