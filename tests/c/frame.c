/* Uses only the public header and the shared library: the version macros, the initialised
 * flag around quorvel_init, what works before it and what waits for it, a log made before
 * it, and refusals read back from the log with their named last-error codes. */
#include "check.h"
#include "quorvel.h"

#include <errno.h>
#include <string.h>

/* Polls its stop flag as a thread body must, after recording that it ran. */
static void body(quorvel_thread* thread, void* arg)
{
    *(int*)arg = 1;
    while (!quorvel_thread_continue(thread)) {
    }
}

static int noop_protocol(envelope* stream)
{
    (void)stream;
    return 0;
}

/* The log's line after its time stamp "[dd/Mon/yyyy:hh:mm:ss]" (22 characters) equals
 * " - error (<text>\n" on some line. */
static int logged(const char* path, const char* text)
{
    char line[512], want[512];
    int found = 0;
    FILE* f = fopen(path, "r");
    snprintf(want, sizeof(want), " - error (%s\n", text);
    while (f != NULL && !found && fgets(line, sizeof(line), f) != NULL)
        found = line[0] == '[' && line[21] == ']' && strcmp(line + 22, want) == 0;
    if (f != NULL)
        fclose(f);
    return found;
}

/* A creation refused for want of quorvel_init: NULL, EINVAL, the bad-argument code. */
static int refused_uninitialized(envelope* e)
{
    return e == NULL && errno == EINVAL && quorvel_last_error() == QUORVEL_LAST_BAD_ARGUMENTS;
}

int main(int argc, char** argv)
{
    char path[4096], missing[4200], version[64];
    const char* dir = argc > 1 ? argv[1] : ".";
    envelope *log, *thread;
    int ran = 0;

    snprintf(version, sizeof(version), "%d.%d.%d", QUORVEL_VERSION_MAJOR, QUORVEL_VERSION_MINOR,
             QUORVEL_VERSION_PATCH);
    CHECK(strcmp(version, QUORVEL_VERSION_STRING) == 0);

    snprintf(path, sizeof(path), "%s/c_frame.log", dir);
    remove(path);
    CHECK(quorvel_isinitialized() == -1);
    /* Logs and threads need no quorvel_init. */
    CHECK((log = quorvel_obj_create(quorvel_obj_log, path)) != NULL);
    CHECK((thread = quorvel_obj_create(quorvel_obj_thread, body, (void*)&ran)) != NULL);
    CHECK(quorvel_obj_destroy(thread) == 0 && ran == 1);

    /* Servers, mutexes, events, streams and protocol registrations do. */
    CHECK(refused_uninitialized(quorvel_obj_create(quorvel_obj_server, 1u, dir)));
    CHECK(refused_uninitialized(quorvel_obj_create(quorvel_obj_mutex)));
    CHECK(refused_uninitialized(quorvel_obj_create(quorvel_obj_event)));
    CHECK(refused_uninitialized(quorvel_obj_create(quorvel_obj_stream, "127.0.0.1", "name", 1, 1)));
    CHECK(refused_uninitialized(quorvel_obj_create(quorvel_obj_protocol, "name", noop_protocol)));
    CHECK(logged(path, "quorvel_obj_create, 16298): core not initialized, call quorvel_init"));

    CHECK(quorvel_init() == 0);
    CHECK(quorvel_isinitialized() == 0);
    CHECK(quorvel_init() == 0);
    errno = 0;
    CHECK(quorvel_obj_create(quorvel_obj_buffer) == NULL);
    CHECK(errno == EINVAL && quorvel_last_error() == QUORVEL_LAST_BAD_ARGUMENTS);
    CHECK(logged(path, "quorvel_obj_create, 16283): invalid object type, object not supported"));

    /* A log file that cannot be opened: write protection, not a bad argument. */
    snprintf(missing, sizeof(missing), "%s/no-such-dir/x.log", dir);
    CHECK(quorvel_obj_create(quorvel_obj_log, missing) == NULL);
    CHECK(errno == EACCES && quorvel_last_error() == QUORVEL_LAST_WRITE_PROTECT);

    /* A success clears the code again. */
    CHECK((thread = quorvel_obj_create(quorvel_obj_thread, body, (void*)&ran)) != NULL);
    CHECK(quorvel_last_error() == 0);
    CHECK(quorvel_obj_destroy(thread) == 0);
    CHECK(quorvel_obj_destroy(log) == 0);
    DONE();
}
