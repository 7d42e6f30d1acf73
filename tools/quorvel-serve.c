/* quorvel-serve: serves a directory over HTTP/1.0 with the Quorvel library.
 *
 * It is also the smallest complete host: make a log, initialise, create a server object,
 * set its attributes, start it, and destroy it when a signal asks for the stop. Everything
 * that can be checked before the start (options, the root, the addresses) is checked here,
 * so a mistake is named in terms of the command line. */
#define _XOPEN_SOURCE 700

#include "quorvel.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef QUORVEL_SERVE_VERSION
#error "QUORVEL_SERVE_VERSION must be defined as the project version text"
#endif

#define USAGE_ERROR 2
#define START_ERROR 1
#define DEFAULT_PORT 8080
#define MAX_CACHED 64
#define MAX_ADDRESSES 16
#define ADDRESS_SIZE 64
/* Milliseconds the server has to bind its listeners and start its handlers. */
#define START_WAIT_MS 10000
/* Attempts at finding a port that is free on every address of --bind at once. */
#define PORT_TRIES 10

struct options {
    const char* root; /* NULL: the default root */
    int port;
    const char* bind;
    const char* index;
    int listing;
    int dir_index;
    const char* log;
    const char* access_log;
    int debug;
    unsigned handlers;
    int timeout;
    const char* cache[MAX_CACHED];
    int cached;
    int ssi;
    const char* bubbles;
};

/* Where --bind listens: every interface (one listener for both families), or each numeric
 * address the name stands for (one listener each). */
struct addresses {
    int any;
    int count;
    char text[MAX_ADDRESSES][ADDRESS_SIZE];
};

enum option_id {
    OPT_ROOT,
    OPT_PORT,
    OPT_BIND,
    OPT_INDEX,
    OPT_NO_DIR_INDEX,
    OPT_NO_LISTING,
    OPT_LOG,
    OPT_ACCESS_LOG,
    OPT_DEBUG,
    OPT_HANDLERS,
    OPT_CACHE,
    OPT_SSI,
    OPT_BUBBLES,
    OPT_TIMEOUT,
    OPT_VERSION,
    OPT_HELP
};

static const struct {
    const char* name;
    enum option_id id;
    int takes_value;
} option_table[] = {
    {"--root", OPT_ROOT, 1},
    {"--port", OPT_PORT, 1},
    {"--bind", OPT_BIND, 1},
    {"--index", OPT_INDEX, 1},
    {"--no-dir-index", OPT_NO_DIR_INDEX, 0},
    {"--no-listing", OPT_NO_LISTING, 0},
    {"--log", OPT_LOG, 1},
    {"--access-log", OPT_ACCESS_LOG, 1},
    {"--debug", OPT_DEBUG, 0},
    {"--handlers", OPT_HANDLERS, 1},
    {"--cache", OPT_CACHE, 1},
    {"--ssi", OPT_SSI, 0},
    {"--bubbles", OPT_BUBBLES, 1},
    {"--timeout", OPT_TIMEOUT, 1},
    {"--version", OPT_VERSION, 0},
    {"--help", OPT_HELP, 0},
    {"-h", OPT_HELP, 0},
};

static int is_directory(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

/* The directory served when none is given: the demo site of the sources this program was
 * built from, else the one installed beside it (<prefix>/share/quorvel/www); NULL when
 * neither exists. `area` (PATH_MAX bytes) receives the second. */
static const char* default_root(char* area)
{
    char self[PATH_MAX];
    char candidate[PATH_MAX + 32];
    ssize_t length;
    char* slash;
#ifdef QUORVEL_DEMO_ROOT
    if (is_directory(QUORVEL_DEMO_ROOT))
        return QUORVEL_DEMO_ROOT;
#endif
    length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length <= 0)
        return NULL;
    self[length] = '\0';
    slash = strrchr(self, '/');
    if (slash == NULL)
        return NULL;
    *slash = '\0';
    snprintf(candidate, sizeof(candidate), "%s/../share/quorvel/www", self);
    if (!is_directory(candidate) || realpath(candidate, area) == NULL)
        return NULL;
    return area;
}

static void usage(FILE* out)
{
    char area[PATH_MAX];
    const char* root = default_root(area);
    fprintf(out,
            "usage: quorvel-serve [options] [DIR]\n"
            "Serves the directory DIR over HTTP/1.0 until Ctrl-C (or SIGTERM) stops it.\n"
            "An option's value may follow it (--port 9000) or be joined to it (--port=9000).\n"
            "\n"
            "  DIR, --root DIR    directory to serve (default: the demo site, %s)\n"
            "  --port N           port to listen on, 0 for a free one, shown in the URL printed\n"
            "                     once serving (default %d)\n"
            "  --bind HOST        numeric address or host name to listen on, on each address it\n"
            "                     has, or 'any' for every interface (default 127.0.0.1)\n"
            "  --index NAME       file that answers for a directory (default index.html)\n"
            "  --no-dir-index     answer only / with the index file (default: every directory\n"
            "                     that holds one)\n"
            "  --no-listing       answer directories without an index file with 404 (default:\n"
            "                     listed)\n"
            "  --log FILE         error log; - is standard error (default -)\n"
            "  --access-log FILE  one line per request; - is standard error (default: none)\n"
            "  --debug            write debug lines to the error log (default: off)\n"
            "  --handlers N       connection handler threads, at most one per processor\n"
            "                     (default: the processor count)\n"
            "  --cache URI=FILE   serve FILE (relative to the root) from memory at URI; may be\n"
            "                     repeated (default: none)\n"
            "  --ssi              build the HTML pages stored with --cache through server-side\n"
            "                     includes; directives run only in stored pages, and #exec in\n"
            "                     them runs commands as this server's user (default: off)\n"
            "  --bubbles DIR      load the plug-ins (.bbl files) in DIR at the start (default:\n"
            "                     none)\n"
            "  --timeout SECONDS  time a client has to send its whole request (default 10)\n"
            "  --version          print the version and exit\n"
            "  --help             this text\n",
            root != NULL ? root : "not found here", DEFAULT_PORT);
}

static int parse_number(const char* text, long low, long high, long* out)
{
    char* end = NULL;
    long value;
    errno = 0;
    value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high ||
        text[0] == ' ' || text[0] == '+')
        return -1;
    *out = value;
    return 0;
}

static int bad_value(const char* option, const char* value, const char* what)
{
    fprintf(stderr, "quorvel-serve: %s: '%s' is not %s\n", option, value, what);
    return -1;
}

/* Applies one option with its value (NULL for a flag): 0, or -1 with the message written. */
static int apply(struct options* o, enum option_id id, const char* name, const char* value)
{
    long n;
    if (value != NULL && value[0] == '\0') {
        fprintf(stderr, "quorvel-serve: %s: the value is empty\n", name);
        return -1;
    }
    switch (id) {
    case OPT_ROOT:
        o->root = value;
        break;
    case OPT_PORT:
        if (parse_number(value, 0, 65534, &n) != 0)
            return bad_value(name, value, "a number from 0 to 65534");
        o->port = (int)n;
        break;
    case OPT_BIND:
        o->bind = value;
        break;
    case OPT_INDEX:
        o->index = value;
        break;
    case OPT_NO_DIR_INDEX:
        o->dir_index = 0;
        break;
    case OPT_NO_LISTING:
        o->listing = 0;
        break;
    case OPT_LOG:
        o->log = value;
        break;
    case OPT_ACCESS_LOG:
        o->access_log = value;
        break;
    case OPT_DEBUG:
        o->debug = 1;
        break;
    case OPT_HANDLERS:
        if (parse_number(value, 1, 1024, &n) != 0)
            return bad_value(name, value, "a number from 1 to 1024");
        o->handlers = (unsigned)n;
        break;
    case OPT_CACHE:
        if (value[0] != '/' || strchr(value, '=') == NULL || strchr(value, '=')[1] == '\0')
            return bad_value(name, value, "/URI=FILE");
        if (o->cached == MAX_CACHED) {
            fprintf(stderr, "quorvel-serve: %s: at most %d files\n", name, MAX_CACHED);
            return -1;
        }
        o->cache[o->cached++] = value;
        break;
    case OPT_SSI:
        o->ssi = 1;
        break;
    case OPT_BUBBLES:
        o->bubbles = value;
        break;
    case OPT_TIMEOUT:
        if (parse_number(value, 1, 86400, &n) != 0)
            return bad_value(name, value, "a number of seconds from 1 to 86400");
        o->timeout = (int)n;
        break;
    case OPT_VERSION:
        printf("quorvel-serve %s\n", QUORVEL_SERVE_VERSION);
        exit(0);
    case OPT_HELP:
        usage(stdout);
        exit(0);
    }
    return 0;
}

/* Reads the command line into `o`: 0, or -1 with the mistake named on standard error. */
static int parse_options(int argc, char** argv, struct options* o)
{
    const char* directory = NULL;
    int options_end = 0;
    int i;
    for (i = 1; i < argc; i++) {
        const char* arg = argv[i];
        const char* joined = NULL;
        size_t name_length;
        size_t k;
        const char* value = NULL;
        if (options_end || arg[0] != '-' || strcmp(arg, "-") == 0) {
            if (directory != NULL) {
                fprintf(stderr, "quorvel-serve: one directory to serve, not two ('%s' and '%s')\n",
                        directory, arg);
                return -1;
            }
            directory = arg;
            continue;
        }
        if (strcmp(arg, "--") == 0) {
            options_end = 1;
            continue;
        }
        joined = strncmp(arg, "--", 2) == 0 ? strchr(arg, '=') : NULL;
        name_length = joined != NULL ? (size_t)(joined - arg) : strlen(arg);
        for (k = 0; k < sizeof(option_table) / sizeof(option_table[0]); k++) {
            if (strlen(option_table[k].name) == name_length &&
                strncmp(option_table[k].name, arg, name_length) == 0)
                break;
        }
        if (k == sizeof(option_table) / sizeof(option_table[0])) {
            fprintf(stderr, "quorvel-serve: unknown option %.*s (see --help)\n", (int)name_length,
                    arg);
            return -1;
        }
        if (!option_table[k].takes_value && joined != NULL) {
            fprintf(stderr, "quorvel-serve: %s takes no value\n", option_table[k].name);
            return -1;
        }
        if (option_table[k].takes_value) {
            value = joined != NULL ? joined + 1 : i + 1 < argc ? argv[++i] : NULL;
            /* A separate value that is another option means this one's value was forgotten. */
            if (value == NULL || (joined == NULL && strncmp(value, "--", 2) == 0)) {
                fprintf(stderr, "quorvel-serve: %s needs a value (see --help)\n",
                        option_table[k].name);
                return -1;
            }
        }
        if (apply(o, option_table[k].id, option_table[k].name, value) != 0)
            return -1;
    }
    if (directory != NULL && o->root != NULL) {
        fprintf(stderr,
                "quorvel-serve: the directory to serve is given twice ('%s' and --root '%s')\n",
                directory, o->root);
        return -1;
    }
    if (directory != NULL)
        o->root = directory;
    return 0;
}

/* Checks that the root can be served: 0, or -1 with the reason written. */
static int check_root(const char* root)
{
    struct stat st;
    const char* problem = NULL;
    if (stat(root, &st) != 0)
        problem = errno == ENOENT || errno == ENOTDIR ? "no such directory" : strerror(errno);
    else if (!S_ISDIR(st.st_mode))
        problem = "not a directory";
    else if (access(root, R_OK | X_OK) != 0)
        problem = strerror(errno);
    if (problem == NULL)
        return 0;
    fprintf(stderr, "quorvel-serve: cannot serve %s: %s\n", root, problem);
    return -1;
}

/* The numeric addresses --bind stands for, each once, in the resolver's order: 0, or -1
 * with the reason written. */
static int resolve_bind(const char* bind, struct addresses* a)
{
    struct addrinfo hints;
    struct addrinfo* found = NULL;
    struct addrinfo* ai;
    int rc;
    a->any = strcmp(bind, "any") == 0;
    a->count = 0;
    if (a->any) {
        /* Where a free port is looked for: the listener itself takes both families. */
        strcpy(a->text[a->count++], "0.0.0.0");
        strcpy(a->text[a->count++], "::");
        return 0;
    }
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    rc = getaddrinfo(bind, NULL, &hints, &found);
    if (rc != 0) {
        fprintf(stderr, "quorvel-serve: --bind: cannot resolve '%s': %s\n", bind,
                rc == EAI_SYSTEM ? strerror(errno) : gai_strerror(rc));
        return -1;
    }
    for (ai = found; ai != NULL && a->count < MAX_ADDRESSES; ai = ai->ai_next) {
        char text[ADDRESS_SIZE];
        int i;
        if ((ai->ai_family != AF_INET && ai->ai_family != AF_INET6) ||
            getnameinfo(ai->ai_addr, ai->ai_addrlen, text, sizeof(text), NULL, 0, NI_NUMERICHOST) !=
                0)
            continue;
        for (i = 0; i < a->count && strcmp(a->text[i], text) != 0; i++) {
        }
        if (i == a->count)
            strcpy(a->text[a->count++], text);
    }
    freeaddrinfo(found);
    if (a->count == 0) {
        fprintf(stderr, "quorvel-serve: --bind: '%s' has no IPv4 or IPv6 address\n", bind);
        return -1;
    }
    return 0;
}

/* A socket bound, not listening, to `address` and `port` (0: one the system picks), with the
 * options of the library's listeners (address reuse; IPv6 only). A listener can then bind
 * beside it, while the port stays taken for everyone else. The descriptor, or -1 (errno). */
static int hold_port(const char* address, int port)
{
    struct addrinfo hints;
    struct addrinfo* found = NULL;
    char service[16];
    int one = 1;
    int fd;
    memset(&hints, 0, sizeof(hints));
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    snprintf(service, sizeof(service), "%d", port);
    if (getaddrinfo(address, service, &hints, &found) != 0) {
        errno = EINVAL;
        return -1;
    }
    fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd != -1 && (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
                     (found->ai_family == AF_INET6 &&
                      setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one)) != 0) ||
                     bind(fd, found->ai_addr, found->ai_addrlen) != 0)) {
        int cause = errno;
        close(fd);
        fd = -1;
        errno = cause;
    }
    freeaddrinfo(found);
    return fd;
}

static int bound_port(int fd)
{
    struct sockaddr_storage address;
    socklen_t length = sizeof(address);
    if (getsockname(fd, (struct sockaddr*)&address, &length) != 0)
        return 0;
    return address.ss_family == AF_INET6 ? ntohs(((struct sockaddr_in6*)&address)->sin6_port)
                                         : ntohs(((struct sockaddr_in*)&address)->sin_port);
}

/* Closes the descriptors of hold_port in `held` (-1: none), keeping errno. */
static void release_ports(int held[MAX_ADDRESSES])
{
    int cause = errno;
    int i;
    for (i = 0; i < MAX_ADDRESSES; i++) {
        if (held[i] != -1)
            close(held[i]);
        held[i] = -1;
    }
    errno = cause;
}

/* For --port 0 with several addresses: a port the system gave on the first address that is
 * also free on every other, held on all of them (`held`, released by the caller once the
 * server listens) so that the server's listeners can share it. The port, or 0 (errno). */
static int shared_free_port(const struct addresses* a, int held[MAX_ADDRESSES])
{
    int attempt;
    int i;
    for (attempt = 0; attempt < PORT_TRIES; attempt++) {
        int port = 0;
        for (i = 0; i < a->count; i++) {
            held[i] = hold_port(a->text[i], port);
            /* A family this machine lacks is the listener's to skip or to report. */
            if (held[i] == -1 && errno == EAFNOSUPPORT && i > 0)
                continue;
            if (held[i] == -1)
                break;
            if (port == 0 && (port = bound_port(held[i])) == 0) {
                errno = EADDRNOTAVAIL;
                break;
            }
        }
        if (i == a->count)
            return port;
        release_ports(held);
        /* Taken on another address: the next port from the system may be free on all. */
        if (errno != EADDRINUSE)
            return 0;
    }
    return 0;
}

/* "127.0.0.1:8080" or "[::1]:8080". */
static void address_and_port(char* out, size_t size, const char* address, int port)
{
    snprintf(out, size, strchr(address, ':') != NULL ? "[%s]:%d" : "%s:%d", address, port);
}

/* What the server listens on, for messages: "127.0.0.1:80", "[::1]:80 and 127.0.0.1:80". */
static void listen_places(char* out, size_t size, const struct addresses* a, int port)
{
    int i;
    out[0] = '\0';
    if (a->any) {
        snprintf(out, size, "port %d of every interface", port);
        return;
    }
    for (i = 0; i < a->count; i++) {
        char one[ADDRESS_SIZE + 16];
        size_t used = strlen(out);
        address_and_port(one, sizeof(one), a->text[i], port);
        snprintf(out + used, size - used, "%s%s",
                 i == 0              ? ""
                 : i == a->count - 1 ? " and "
                                     : ", ",
                 one);
    }
}

/* The library reports why a call failed in its error log; the host adds what it was doing. */
static int fail(const char* what)
{
    fprintf(stderr, "quorvel-serve: %s failed (%s); see the log for details\n", what,
            strerror(errno));
    return -1;
}

static int configure(envelope* server, const struct options* o, const struct addresses* a, int port)
{
    int i;
    if (a->any) {
        if (quorvel_obj_set(server, quorvel_attrib_listener, port) != 0)
            return fail("adding the listener");
    }
    for (i = 0; !a->any && i < a->count; i++) {
        if (quorvel_obj_set(server, quorvel_attrib_listener_addr, port, a->text[i]) != 0)
            return fail("adding a listener");
    }
    if (o->index != NULL && quorvel_obj_set(server, quorvel_attrib_index, o->index) != 0)
        return fail("setting the index file");
    if (quorvel_obj_set(server, quorvel_attrib_dirlist, o->listing) != 0)
        return fail("setting directory listings");
    if (quorvel_obj_set(server, quorvel_attrib_dir_index, o->dir_index) != 0)
        return fail("setting the index file of directories");
    if (o->access_log != NULL &&
        quorvel_obj_set(server, quorvel_attrib_access_log, o->access_log) != 0) {
        /* The library tells only that it could not; opening the file here tells why. */
        int fd =
            strcmp(o->access_log, "-") == 0
                ? -1
                : open(o->access_log, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
        fprintf(stderr, "quorvel-serve: cannot write the access log %s: %s\n", o->access_log,
                fd == -1 && errno != 0 ? strerror(errno) : "see the log for details");
        if (fd != -1)
            close(fd);
        return -1;
    }
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

/* Creates, configures and starts the server, and waits until it listens: the server, or
 * NULL with the reason written. */
static envelope* start_server(const struct options* o, const struct addresses* a, int* port)
{
    int held[MAX_ADDRESSES];
    int i;
    int status = -1;
    envelope* server;
    char places[MAX_ADDRESSES * (ADDRESS_SIZE + 24)];
    for (i = 0; i < MAX_ADDRESSES; i++)
        held[i] = -1;
    *port = o->port;
    /* One address takes its free port from the system when it binds; several must agree on
     * one, and the listeners are added before any of them binds. */
    if (o->port == 0 && a->count > 1 && (*port = shared_free_port(a, held)) == 0) {
        listen_places(places, sizeof(places), a, 0);
        fprintf(stderr, "quorvel-serve: cannot listen on %s: %s\n", places, strerror(errno));
        return NULL;
    }
    server =
        quorvel_obj_create(quorvel_obj_server, o->handlers != 0 ? o->handlers : 1024u, o->root);
    if (server == NULL)
        fprintf(stderr, "quorvel-serve: cannot serve %s: %s\n", o->root, strerror(errno));
    else if (configure(server, o, a, *port) != 0)
        status = -1;
    else if (quorvel_obj_start(server) != 0)
        status = fail("starting the server");
    else
        status = quorvel_obj_get(server, quorvel_attrib_status, START_WAIT_MS);
    /* A failed start (1) leaves its cause in errno. */
    if (status == 1) {
        int cause = errno;
        listen_places(places, sizeof(places), a, *port);
        fprintf(stderr, "quorvel-serve: cannot listen on %s: %s\n", places, strerror(cause));
    } else if (status == 2) {
        fprintf(stderr, "quorvel-serve: the server did not come up within %d seconds\n",
                START_WAIT_MS / 1000);
    }
    release_ports(held);
    if (server != NULL && status != 0) {
        quorvel_obj_destroy(server);
        server = NULL;
    }
    /* The port bound, which --port 0 leaves to the system. */
    if (server != NULL)
        *port = quorvel_obj_get(server, quorvel_attrib_listener_addr, 0);
    return server;
}

static void announce(const char* root, const struct addresses* a, int port)
{
    int i;
    if (a->any) {
        printf("quorvel-serve: serving %s on port %d of every interface (http://127.0.0.1:%d/ "
               "from this machine)\n",
               root, port, port);
    } else {
        printf("quorvel-serve: serving %s at", root);
        for (i = 0; i < a->count; i++) {
            char place[ADDRESS_SIZE + 16];
            address_and_port(place, sizeof(place), a->text[i], port);
            printf("%s http://%s/", i == 0 ? "" : i == a->count - 1 ? " and" : ",", place);
        }
        printf("\n");
    }
    printf("quorvel-serve: press Ctrl-C to stop\n");
    fflush(stdout);
}

int main(int argc, char** argv)
{
    struct options o = {NULL, DEFAULT_PORT, "127.0.0.1", NULL, 1,   1, "-", NULL, 0, 0,
                        0,    {NULL},       0,           0,    NULL};
    struct addresses a;
    char area[PATH_MAX];
    envelope* log;
    envelope* server;
    sigset_t stop_signals;
    int port;
    int signal_number = 0;

    if (parse_options(argc, argv, &o) != 0)
        return USAGE_ERROR;
    if (o.root == NULL && (o.root = default_root(area)) == NULL) {
        fprintf(stderr, "quorvel-serve: no directory to serve: the demo site is not installed "
                        "here; name one (quorvel-serve DIR, or --root DIR)\n");
        return USAGE_ERROR;
    }
    if (resolve_bind(o.bind, &a) != 0)
        return USAGE_ERROR;
    if (check_root(o.root) != 0)
        return START_ERROR;

    /* The stop signals are taken synchronously by this thread; the library's threads,
     * created after this, inherit the blocked mask and never see them. */
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, NULL);

    /* "-" is descriptor 2 itself, whatever it is: a terminal, a pipe, a file. */
    log = quorvel_obj_create(quorvel_obj_log, o.log);
    if (log == NULL) {
        fprintf(stderr, "quorvel-serve: cannot write the log %s: %s\n",
                strcmp(o.log, "-") == 0 ? "to standard error" : o.log, strerror(errno));
        return START_ERROR;
    }
    quorvel_init();
    quorvel_debug(o.debug);
    if (o.timeout > 0 &&
        quorvel_obj_set(quorvel_get_sys(), quorvel_attrib_request_timeout, o.timeout) != 0) {
        fail("setting the request timeout");
        quorvel_obj_destroy(log);
        return START_ERROR;
    }

    server = start_server(&o, &a, &port);
    if (server == NULL) {
        quorvel_obj_destroy(log);
        return START_ERROR;
    }
    announce(o.root, &a, port);

    while (sigwait(&stop_signals, &signal_number) != 0) {
    }
    printf("quorvel-serve: stopping\n");
    quorvel_obj_destroy(server);
    quorvel_obj_destroy(log);
    return 0;
}
