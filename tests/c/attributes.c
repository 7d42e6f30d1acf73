/* Configures a server through the public header only, passing every attribute's arguments
 * as a C host does, and reads the refusals back from the error log. */
#include "check.h"
#include "quorvel.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

static char* page(envelope* request, envelope* out)
{
    (void)request, (void)out;
    return NULL;
}

/* True when the log holds the error line " - error (<text>\n" after a time stamp. */
static int logged(const char* path, const char* text)
{
    char all[16384] = {0}, want[1024];
    FILE* f = fopen(path, "r");
    if (f != NULL) {
        all[fread(all, 1, sizeof(all) - 1, f)] = '\0';
        fclose(f);
    }
    snprintf(want, sizeof(want), " - error (%s\n", text);
    return strstr(all, want) != NULL;
}

int main(int argc, char** argv)
{
    char path[4096];
    envelope *log, *server, *sys;
    const char* dir = argc > 1 ? argv[1] : ".";

    snprintf(path, sizeof(path), "%s/c_attributes.log", dir);
    remove(path);
    CHECK((log = quorvel_obj_create(quorvel_obj_log, path)) != NULL);
    CHECK(quorvel_init() == 0);

    CHECK((server = quorvel_obj_create(quorvel_obj_server, 2u, dir)) != NULL);
    CHECK(quorvel_obj_set(server, quorvel_attrib_listener, 8080) == 0);
    CHECK(quorvel_obj_set(server, quorvel_attrib_listener_addr, 8081, "127.0.0.1") == 0);
    CHECK(quorvel_obj_set(server, quorvel_attrib_afipv, 0x10u, SOCK_SET, 0u) == 0);
    CHECK(quorvel_obj_set(server, quorvel_attrib_tcpbuffsize, 16384) == 0);
    CHECK(quorvel_obj_set(server, quorvel_attrib_mime, "php", "text/x-php", 1u,
                          (quorvel_mime_fn)NULL) == 0);
    CHECK(quorvel_obj_set(server, quorvel_attrib_index, "home.htm") == 0);
    CHECK(quorvel_obj_set(server, quorvel_attrib_ssi, 1) == 0);
    CHECK(quorvel_obj_set(server, quorvel_attrib_dirlist, 1) == 0);
    CHECK(quorvel_obj_set(server, quorvel_attrib_uri, QUORVEL_GET, "/page", QUORVEL_ENC_TEXT,
                          page) == 0);
    CHECK(quorvel_obj_set(server, quorvel_attrib_uri_content, QUORVEL_GET, "/about", "<p>about</p>",
                          2) == 0);

    errno = 0;
    CHECK(quorvel_obj_set(server, quorvel_attrib_uri, 3, "/x", QUORVEL_ENC_TEXT, page) == -1);
    CHECK(errno == EINVAL && quorvel_last_error() == QUORVEL_LAST_BAD_ARGUMENTS);
    CHECK(logged(path, "quorvel_obj_set::quorvel_attrib_uri, 18042): invalid HTTP method"));
    CHECK(quorvel_obj_set(server, quorvel_attrib_listener, 0) == -1);
    /* An addressed listener may leave its port to the system; until the start it reads 0. */
    CHECK(quorvel_obj_set(server, quorvel_attrib_listener_addr, 0, "::1") == 0);
    CHECK(quorvel_obj_get(server, quorvel_attrib_listener_addr, 0) == 8080);
    CHECK(quorvel_obj_get(server, quorvel_attrib_listener_addr, 1) == 8081);
    CHECK(quorvel_obj_get(server, quorvel_attrib_listener_addr, 2) == 0);
    errno = 0;
    CHECK(quorvel_obj_get(server, quorvel_attrib_listener_addr, 3) == -1);
    CHECK(errno == EINVAL && quorvel_last_error() == QUORVEL_LAST_BAD_ARGUMENTS);
    CHECK(logged(path, "quorvel_obj_get:: quorvel_attrib_listener_addr, 18529): no listener 3, "
                       "the server has 3"));
    CHECK(quorvel_obj_get(log, quorvel_attrib_listener_addr, 0) == -1);
    CHECK(logged(path, "quorvel_obj_get, 18517): operation not supported for provided object"));
    CHECK(quorvel_obj_get(server, quorvel_attrib_status, 0) == -1);
    CHECK(logged(path, "quorvel_obj_get:: quorvel_attrib_status, 18525): server has not been "
                       "started"));
    CHECK(quorvel_obj_destroy(server) == 0);

    sys = quorvel_get_sys();
    CHECK(quorvel_obj_set(sys, quorvel_attrib_threadheap, 131072) == 0);
    CHECK(quorvel_obj_set(sys, quorvel_attrib_request_timeout, 5) == 0);
    CHECK(quorvel_obj_set(sys, quorvel_attrib_request_timeout, 0) == -1);
    CHECK(errno == EINVAL && quorvel_last_error() == QUORVEL_LAST_BAD_ARGUMENTS);
    CHECK(quorvel_obj_set(sys, 9) == 0);

    CHECK(quorvel_obj_destroy(log) == 0);
    return failures == 0 ? 0 : 1;
}
