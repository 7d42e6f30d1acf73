/* A stream object against a listener of the program's own on 127.0.0.1: the listener sees
 * the announcement and the exact bytes of a marshalled record, and its reply is read back
 * with quorvel_unmarshal. Uses only the public header and POSIX sockets. */
#define _POSIX_C_SOURCE 200809L

#include "check.h"
#include "quorvel.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

/* "&name;", the checksum of "iz", the int -2 and the string "hello". */
static const unsigned char expected[] = {'&',  'n',  'a',  'm',  'e',  ';',  0x00, 0x00,
                                         0x18, 0xC9, 0xFF, 0xFF, 0xFF, 0xFE, 0x00, 0x00,
                                         0x00, 0x05, 'h',  'e',  'l',  'l',  'o'};

struct peer {
    int listener;
    unsigned char got[64];
    size_t count;
    int replied;
};

static void* serve(void* arg)
{
    struct peer* p = arg;
    struct pollfd wait = {p->listener, POLLIN, 0};
    struct timeval tv = {10, 0};
    unsigned char reply[16] = {0, 0, 0, 0, 0, 0, 0, 77, 0, 0, 0, 4, 'p', 'o', 'n', 'g'};
    char rest[64];
    ssize_t n;
    int fd, i;

    if (poll(&wait, 1, 10000) != 1 || (fd = accept(p->listener, NULL, NULL)) == -1)
        return NULL;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    n = recv(fd, p->got, sizeof(expected), MSG_WAITALL);
    p->count = n > 0 ? (size_t)n : 0;
    if (p->count == sizeof(expected)) {
        /* The reply uses the same format, so it carries the same checksum. */
        memcpy(reply, p->got + 6, 4);
        p->replied = send(fd, reply, sizeof(reply), MSG_NOSIGNAL) == (ssize_t)sizeof(reply);
    }
    /* Wait for the client's close, so that its close does not wait for ours. */
    for (i = 0; i < 100 && recv(fd, rest, sizeof(rest), 0) > 0; i++) {
    }
    close(fd);
    return NULL;
}

int main(void)
{
    char name[79];
    struct sockaddr_in addr = {0};
    socklen_t addr_size = sizeof(addr);
    struct peer p = {0};
    pthread_t thread;
    envelope* stream;
    int32_t number = 0;
    char* text = NULL;
    int port;

    CHECK(quorvel_init() == 0);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    p.listener = socket(AF_INET, SOCK_STREAM, 0);
    if (p.listener == -1 || bind(p.listener, (struct sockaddr*)&addr, sizeof(addr)) != 0 ||
        listen(p.listener, 4) != 0 ||
        getsockname(p.listener, (struct sockaddr*)&addr, &addr_size) != 0 ||
        pthread_create(&thread, NULL, serve, &p) != 0) {
        fprintf(stderr, "no listener\n");
        return 1;
    }

    port = (int)ntohs(addr.sin_port);
    stream = quorvel_obj_create(quorvel_obj_stream, "127.0.0.1", "name", port, 5);
    CHECK(stream != NULL && quorvel_marshal(stream, "iz", (int32_t)-2, "hello") == 0);
    /* The receive sends the announcement and the record first. */
    CHECK(quorvel_unmarshal(stream, "iz", &number, &text) == 0);
    CHECK(number == 77 && text != NULL && strcmp(text, "pong") == 0);
    quorvel_mem_free(text);

    memset(name, 'n', 78);
    name[78] = '\0';
    errno = 0;
    CHECK(quorvel_obj_create(quorvel_obj_stream, "127.0.0.1", name, port, 5) == NULL);
    CHECK(errno == EINVAL && quorvel_last_error() == QUORVEL_LAST_BAD_ARGUMENTS);
    CHECK(quorvel_obj_destroy(stream) == 0);
    pthread_join(thread, NULL);
    close(p.listener);
    CHECK(p.count == sizeof(expected) && memcmp(p.got, expected, sizeof(expected)) == 0);
    CHECK(p.replied);
    DONE();
}
