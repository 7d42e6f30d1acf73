/* quorvel-serve: serves a directory over HTTP/1.0 with the Quorvel library.
 *
 * It is also the smallest complete host: make a log, initialise, create a server object,
 * set its attributes, start it, and destroy it when a signal asks for the stop. */
#define _POSIX_C_SOURCE 200809L

#include "quorvel.h"

#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef QUORVEL_DEMO_ROOT
#define QUORVEL_DEMO_ROOT "demo/www"
#endif

#define MAX_CACHED 64

struct options {
    const char* root;
    int port;
    const char* bind;
    const char* index;
    int listing;
    const char* log;
    int debug;
    unsigned handlers;
    int timeout;
    const char* cache[MAX_CACHED];
    int cached;
    int ssi;
    const char* bubbles;
};

static void usage(FILE* out)
{
    fprintf(out, "usage: quorvel-serve [options]\n"
                 "Serves a directory over HTTP/1.0.\n"
                 "\n"
                 "  --root DIR         directory to serve (default: the bundled demo site)\n"
                 "  --port N           port to listen on (default 8080); 0 takes a free port,\n"
                 "                     shown in the URL printed once serving (not with 'any')\n"
                 "  --bind ADDR        numeric address to listen on, or 'any' for every interface\n"
                 "                     (default 127.0.0.1)\n"
                 "  --index NAME       index file tried for directories (default index.html)\n"
                 "  --no-listing       answer directories without an index file with 404\n"
                 "  --log FILE         error log (default: standard error)\n"
                 "  --debug            write debug lines to the log\n"
                 "  --handlers N       connection handler threads (at most one per processor;\n"
                 "                     default: the processor count)\n"
                 "  --cache URI=FILE   serve FILE (relative to the root) from memory at URI;\n"
                 "                     may be repeated\n"
                 "  --ssi              build the HTML pages stored with --cache through\n"
                 "                     server-side includes; directives run only in stored pages,\n"
                 "                     and #exec in them runs commands as this server's user\n"
                 "  --bubbles DIR      load the plug-ins (.bbl files) in DIR at the start\n"
                 "  --timeout SECONDS  time a client has to send its whole request (default 10)\n"
                 "  --help             this text\n");
}

static int parse_number(const char* text, long low, long high, long* out)
{
    char* end = NULL;
    long value;
    errno = 0;
    value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high)
        return -1;
    *out = value;
    return 0;
}

static int parse_options(int argc, char** argv, struct options* o)
{
    int i;
    long n;
    for (i = 1; i < argc; i++) {
        const char* arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : NULL;
        int takes_value = 1;
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            usage(stdout);
            exit(0);
        } else if (strcmp(arg, "--no-listing") == 0) {
            o->listing = 0;
            takes_value = 0;
        } else if (strcmp(arg, "--debug") == 0) {
            o->debug = 1;
            takes_value = 0;
        } else if (strcmp(arg, "--ssi") == 0) {
            o->ssi = 1;
            takes_value = 0;
        } else if (value == NULL) {
            fprintf(stderr, "quorvel-serve: %s needs a value (see --help)\n", arg);
            return -1;
        } else if (strcmp(arg, "--root") == 0) {
            o->root = value;
        } else if (strcmp(arg, "--port") == 0) {
            if (parse_number(value, 0, 65534, &n) != 0) {
                fprintf(stderr, "quorvel-serve: --port takes a number from 0 to 65534\n");
                return -1;
            }
            o->port = (int)n;
        } else if (strcmp(arg, "--bind") == 0) {
            o->bind = value;
        } else if (strcmp(arg, "--index") == 0) {
            o->index = value;
        } else if (strcmp(arg, "--log") == 0) {
            o->log = value;
        } else if (strcmp(arg, "--handlers") == 0) {
            if (parse_number(value, 1, 1024, &n) != 0) {
                fprintf(stderr, "quorvel-serve: --handlers takes a number from 1 to 1024\n");
                return -1;
            }
            o->handlers = (unsigned)n;
        } else if (strcmp(arg, "--timeout") == 0) {
            if (parse_number(value, 1, 86400, &n) != 0) {
                fprintf(stderr, "quorvel-serve: --timeout takes seconds from 1 to 86400\n");
                return -1;
            }
            o->timeout = (int)n;
        } else if (strcmp(arg, "--bubbles") == 0) {
            o->bubbles = value;
        } else if (strcmp(arg, "--cache") == 0) {
            if (strchr(value, '=') == NULL || value[0] != '/' || o->cached == MAX_CACHED) {
                fprintf(stderr, "quorvel-serve: --cache takes /URI=FILE (at most %d)\n",
                        MAX_CACHED);
                return -1;
            }
            o->cache[o->cached++] = value;
        } else {
            fprintf(stderr, "quorvel-serve: unknown option %s (see --help)\n", arg);
            return -1;
        }
        i += takes_value;
    }
    /* A free port comes from the system for one address; every interface means two handles. */
    if (o->port == 0 && strcmp(o->bind, "any") == 0) {
        fprintf(stderr, "quorvel-serve: --port 0 needs --bind with an address\n");
        return -1;
    }
    return 0;
}

/* Types a web site needs beyond the library's own table (which knows html, css, txt, png,
 * jpeg, gif, pdf and a few more); files of other unknown extensions are typed by content. */
static const struct {
    const char* extension;
    const char* type;
    unsigned encoding;
} extra_types[] = {
    {"js", "text/javascript", QUORVEL_ENC_TEXT},
    {"mjs", "text/javascript", QUORVEL_ENC_TEXT},
    {"json", "application/json", QUORVEL_ENC_TEXT},
    {"csv", "text/csv", QUORVEL_ENC_TEXT},
    {"md", "text/markdown", QUORVEL_ENC_TEXT},
    {"shtml", "text/html", QUORVEL_ENC_TEXT},
    {"svg", "image/svg+xml", QUORVEL_ENC_TEXT},
    {"webp", "image/webp", QUORVEL_ENC_BINARY},
    {"woff", "font/woff", QUORVEL_ENC_BINARY},
    {"woff2", "font/woff2", QUORVEL_ENC_BINARY},
    {"wasm", "application/wasm", QUORVEL_ENC_BINARY},
    {"mp4", "video/mp4", QUORVEL_ENC_BINARY},
    {"webm", "video/webm", QUORVEL_ENC_BINARY},
    {"zip", "application/zip", QUORVEL_ENC_BINARY},
    {"gz", "application/gzip", QUORVEL_ENC_BINARY},
    {"bin", "application/octet-stream", QUORVEL_ENC_BINARY},
};

/* The library reports why a call failed in its error log; the host adds what it was doing. */
static int fail(const char* what)
{
    fprintf(stderr, "quorvel-serve: %s failed (%s); see the log for details\n", what,
            strerror(errno));
    return -1;
}

static int configure(envelope* server, const struct options* o)
{
    int i;
    for (i = 0; i < (int)(sizeof(extra_types) / sizeof(extra_types[0])); i++) {
        if (quorvel_obj_set(server, quorvel_attrib_mime, extra_types[i].extension,
                            extra_types[i].type, extra_types[i].encoding,
                            (quorvel_mime_fn)NULL) != 0)
            return fail("registering MIME types");
    }
    if (strcmp(o->bind, "any") == 0) {
        if (quorvel_obj_set(server, quorvel_attrib_listener, o->port) != 0)
            return fail("adding the listener");
    } else if (quorvel_obj_set(server, quorvel_attrib_listener_addr, o->port, o->bind) != 0) {
        return fail("adding the listener");
    }
    if (o->index != NULL && quorvel_obj_set(server, quorvel_attrib_index, o->index) != 0)
        return fail("setting the index file");
    if (quorvel_obj_set(server, quorvel_attrib_dirlist, o->listing) != 0)
        return fail("setting directory listings");
    if (quorvel_obj_set(server, quorvel_attrib_ssi, o->ssi) != 0)
        return fail("setting server-side includes");
    if (o->bubbles != NULL && quorvel_obj_set(server, quorvel_attrib_bubbles, o->bubbles) != 0)
        return fail("setting the plug-in directory");
    for (i = 0; i < o->cached; i++) {
        char uri[1024];
        const char* file = strchr(o->cache[i], '=') + 1;
        size_t length = (size_t)(file - 1 - o->cache[i]);
        if (length >= sizeof(uri)) {
            fprintf(stderr, "quorvel-serve: URI too long in --cache %s\n", o->cache[i]);
            return -1;
        }
        memcpy(uri, o->cache[i], length);
        uri[length] = '\0';
        if (quorvel_obj_set(server, quorvel_attrib_uri_cache, QUORVEL_GET, uri, file, 2) != 0) {
            fprintf(stderr, "quorvel-serve: could not cache %s at %s\n", file, uri);
            return -1;
        }
    }
    return 0;
}

int main(int argc, char** argv)
{
    struct options o = {
        QUORVEL_DEMO_ROOT, 8080, "127.0.0.1", NULL, 1, "/dev/stderr", 0, 0, 0, {NULL}, 0, 0, NULL};
    envelope* log;
    envelope* server;
    sigset_t stop_signals;
    int status;
    int port;
    int signal_number = 0;

    if (parse_options(argc, argv, &o) != 0)
        return 2;

    /* The stop signals are taken synchronously by this thread; the library's threads,
     * created after this, inherit the blocked mask and never see them. */
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, NULL);

    log = quorvel_obj_create(quorvel_obj_log, o.log);
    if (log == NULL) {
        fprintf(stderr, "quorvel-serve: cannot write the log %s: %s\n", o.log, strerror(errno));
        return 1;
    }
    quorvel_init();
    quorvel_debug(o.debug);
    if (o.timeout > 0 &&
        quorvel_obj_set(quorvel_get_sys(), quorvel_attrib_request_timeout, o.timeout) != 0) {
        fail("setting the request timeout");
        return 1;
    }

    server = quorvel_obj_create(quorvel_obj_server, o.handlers != 0 ? o.handlers : 1024u, o.root);
    if (server == NULL) {
        fprintf(stderr, "quorvel-serve: cannot serve %s: %s\n", o.root, strerror(errno));
        quorvel_obj_destroy(log);
        return 1;
    }
    if (configure(server, &o) != 0 || quorvel_obj_start(server) != 0) {
        quorvel_obj_destroy(server);
        quorvel_obj_destroy(log);
        return 1;
    }

    status = quorvel_obj_get(server, quorvel_attrib_status, 10000);
    if (status != 0) {
        fprintf(stderr, "quorvel-serve: could not listen on %s port %d: %s\n",
                strcmp(o.bind, "any") == 0 ? "every interface," : o.bind, o.port,
                status == 1 ? "the address is in use or not available here"
                            : "the server did not come up in time");
        quorvel_obj_destroy(server);
        quorvel_obj_destroy(log);
        return 1;
    }
    /* The port bound, which --port 0 leaves to the system. */
    port = quorvel_obj_get(server, quorvel_attrib_listener_addr, 0);
    if (strcmp(o.bind, "any") == 0)
        printf("quorvel-serve: serving %s on port %d of every interface\n", o.root, port);
    else if (strchr(o.bind, ':') != NULL)
        printf("quorvel-serve: serving %s at http://[%s]:%d/\n", o.root, o.bind, port);
    else
        printf("quorvel-serve: serving %s at http://%s:%d/\n", o.root, o.bind, port);
    printf("quorvel-serve: press Ctrl-C to stop\n");
    fflush(stdout);

    while (sigwait(&stop_signals, &signal_number) != 0) {
    }
    printf("quorvel-serve: stopping\n");
    quorvel_obj_destroy(server);
    quorvel_obj_destroy(log);
    return 0;
}
