/* Uses only the public header and the shared library: the initialised flag around
 * quorvel_init, a log made before it, and a refused object type read back from the log. */
#include "check.h"
#include "quorvel.h"

#include <errno.h>
#include <string.h>

int main(int argc, char** argv)
{
    char path[4096], line[512] = "";
    FILE* f;
    envelope* log;

    snprintf(path, sizeof(path), "%s/c_frame.log", argc > 1 ? argv[1] : ".");
    remove(path);
    CHECK(quorvel_isinitialized() == -1);
    CHECK((log = quorvel_obj_create(quorvel_obj_log, path)) != NULL);
    CHECK(quorvel_init() == 0);
    CHECK(quorvel_isinitialized() == 0);
    errno = 0;
    CHECK(quorvel_obj_create(5) == NULL);
    CHECK(errno == 22 && quorvel_last_error() == 160);
    CHECK((f = fopen(path, "r")) != NULL && fgets(line, sizeof(line), f) != NULL);
    /* "[dd/Mon/yyyy:hh:mm:ss]" is 22 characters. */
    CHECK(line[0] == '[' && line[21] == ']');
    CHECK(strcmp(line + 22, " - error (quorvel_obj_create, 16283): invalid object type, "
                            "object not supported\n") == 0);
    if (f != NULL)
        fclose(f);
    CHECK(quorvel_obj_destroy(log) == 0);
    DONE();
}
