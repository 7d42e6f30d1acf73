/* Uses only the public header and the shared library: the initialised flag around
 * quorvel_init, a log made before it, and a refused object type read back from the log. */
#include "check.h"
#include "quorvel.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv)
{
    char path[4096];
    char line[512];
    FILE* f;
    envelope* log;
    const char* dir = argc > 1 ? argv[1] : ".";

    snprintf(path, sizeof(path), "%s/c_frame.log", dir);
    remove(path);

    CHECK(quorvel_isinitialized() == -1);
    log = quorvel_obj_create(quorvel_obj_log, path);
    CHECK(log != NULL);
    CHECK(quorvel_init() == 0);
    CHECK(quorvel_isinitialized() == 0);

    errno = 0;
    CHECK(quorvel_obj_create(5) == NULL);
    CHECK(errno == 22);
    CHECK(quorvel_last_error() == 160);

    f = fopen(path, "r");
    CHECK(f != NULL);
    if (f != NULL) {
        const char* expected =
            " - error (quorvel_obj_create, 16283): invalid object type, object not supported\n";
        CHECK(fgets(line, sizeof(line), f) != NULL);
        /* "[dd/Mon/yyyy:hh:mm:ss]" is 22 characters. */
        CHECK(line[0] == '[' && line[21] == ']');
        CHECK(strcmp(line + 22, expected) == 0);
        fclose(f);
    }
    CHECK(quorvel_obj_destroy(log) == 0);
    if (failures == 0)
        printf("ok\n");
    return failures == 0 ? 0 : 1;
}
