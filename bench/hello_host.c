/* hello_host: the benchmark's callback server. Files under --root, and /hello answered by a C
 * function with the 13 bytes "Hello, world!" as text/plain. Stops on SIGINT or SIGTERM. With
 * --access-log, one line per answered request goes to FILE ("-": standard error).
 *
 *   hello_host --root DIR --port N [--log FILE] [--access-log FILE] */
#define _POSIX_C_SOURCE 200809L

#include "quorvel.h"

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char* hello(envelope* request, envelope* out)
{
    quorvel_obj_set(request, quorvel_attrib_header, "Content-Type", "text/plain");
    quorvel_put(out, "Hello, world!", 13);
    return NULL;
}

int main(int argc, char** argv)
{
    const char* root = ".";
    const char* log_name = "/dev/null";
    const char* access_log = NULL;
    int port = 0, i, signal_number = 0;
    sigset_t stop_signals;
    envelope* log;
    envelope* server;

    for (i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--root") == 0)
            root = argv[i + 1];
        else if (strcmp(argv[i], "--port") == 0)
            port = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--log") == 0)
            log_name = argv[i + 1];
        else if (strcmp(argv[i], "--access-log") == 0)
            access_log = argv[i + 1];
        else
            break;
    }
    if (i < argc || port <= 0 || port >= 65535) {
        fprintf(stderr, "usage: hello_host --root DIR --port N [--log FILE] [--access-log FILE]\n");
        return 2;
    }
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, NULL);

    log = quorvel_obj_create(quorvel_obj_log, log_name);
    quorvel_init();
    /* As many handlers as processors, like quorvel-serve. */
    server = quorvel_obj_create(quorvel_obj_server, 1024u, root);
    if (log == NULL || server == NULL ||
        quorvel_obj_set(server, quorvel_attrib_listener_addr, port, "127.0.0.1") != 0 ||
        quorvel_obj_set(server, quorvel_attrib_uri, QUORVEL_GET, "/hello", QUORVEL_ENC_TEXT,
                        hello) != 0 ||
        (access_log != NULL &&
         quorvel_obj_set(server, quorvel_attrib_access_log, access_log) != 0) ||
        quorvel_obj_start(server) != 0 ||
        quorvel_obj_get(server, quorvel_attrib_status, 5000) != 0) {
        fprintf(stderr, "hello_host: could not serve %s on port %d\n", root, port);
        return 1;
    }
    while (sigwait(&stop_signals, &signal_number) != 0) {
    }
    quorvel_obj_destroy(server);
    quorvel_obj_destroy(log);
    return 0;
}
