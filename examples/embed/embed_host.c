/* embed_host: a host built outside the Quorvel tree, against an installed library (see the
 * CMakeLists.txt and the Makefile beside it).
 *
 *     embed_host DIR PORT
 *
 * Serves the files under DIR, with listings of directories that have no index file, on
 * 127.0.0.1:PORT (0: a free port the system picks), and prints
 * "embed_host: serving DIR at http://127.0.0.1:PORT/" with the port bound once it serves. The
 * library's error lines go to standard error. Runs until SIGINT or SIGTERM, then stops the
 * server and exits with status 0; exits with status 1 when the server cannot start. */
#define _POSIX_C_SOURCE 200809L

#include <quorvel.h>

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv)
{
    envelope* log;
    envelope* server;
    sigset_t stop;
    char* end = NULL;
    long port;
    int signal_number = 0;

    if (argc != 3) {
        fprintf(stderr, "usage: embed_host DIR PORT\n");
        return 1;
    }
    port = strtol(argv[2], &end, 10);
    if (end == argv[2] || *end != '\0' || port < 0 || port > 65534) {
        fprintf(stderr, "embed_host: invalid port %s\n", argv[2]);
        return 1;
    }

    /* Blocked before the library starts its threads, which inherit the mask: the stop
     * signals then reach only the sigwait below. */
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop, NULL);

    log = quorvel_obj_create(quorvel_obj_log, "-"); /* standard error */
    quorvel_init();
    server = quorvel_obj_create(quorvel_obj_server, 4u, argv[1]);
    if (server == NULL) {
        fprintf(stderr, "embed_host: cannot serve %s: %s\n", argv[1], strerror(errno));
        quorvel_obj_destroy(log);
        return 1;
    }
    quorvel_obj_set(server, quorvel_attrib_listener_addr, (int)port, "127.0.0.1");
    quorvel_obj_set(server, quorvel_attrib_dirlist, 1);
    if (quorvel_obj_start(server) != 0 ||
        quorvel_obj_get(server, quorvel_attrib_status, 10000) != 0) {
        fprintf(stderr, "embed_host: the server did not start (see the lines above)\n");
        quorvel_obj_destroy(server);
        quorvel_obj_destroy(log);
        return 1;
    }
    /* With port 0, the port the system picked: known once the status has answered 0. */
    printf("embed_host: serving %s at http://127.0.0.1:%d/\n", argv[1],
           quorvel_obj_get(server, quorvel_attrib_listener_addr, 0));
    fflush(stdout);

    sigwait(&stop, &signal_number);
    quorvel_obj_destroy(server); /* stops the threads and closes the listener */
    quorvel_obj_destroy(log);
    return 0;
}
