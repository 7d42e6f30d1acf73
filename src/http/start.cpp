// Starting a server: the checks of the start call, the scan of the bubble directory, and the
// kernel thread, which binds the listeners on its own. The kernel is created held at its
// start gate until the server record names it, so no thread of the server ever sees the
// record half written.
#include "core/envelope.h"
#include "core/report.h"
#include "http/dir.h"
#include "http/kernel.h"
#include "http/protocol.h"
#include "http/server.h"
#include "threads/thread.h"

#include <climits>
#include <cstdio>
#include <cstring>

namespace quorvel {

namespace {

// Every entry whose name holds ".bbl" anywhere is a bubble, in the order the directory gives
// them. A bubble that does not load is reported and the scan goes on.
void scan_bubbles(envelope* server, const char* directory)
{
    debug("quorvel_obj_start", 16347, "checking for bubbles in %s...\n", directory);
    dir_record* dir = dir_open(directory);
    if (dir == nullptr) {
        report("quorvel_obj_start", 16355, fault::none, "could not open directory %s for reading\n",
               directory);
        return;
    }
    while (const char* name = dir_read(dir)) {
        if (std::strstr(name, ".bbl") == nullptr)
            continue;
        char path[PATH_MAX];
        int length = std::snprintf(path, sizeof(path), "%s%c%s", directory, '/', name);
        int loaded = -1;
        if (length > 0 && static_cast<size_t>(length) < sizeof(path)) {
            // Bubble loading, quorvel_bubble_load(server, path), is called here once it exists;
            // until then no bubble loads.
            static_cast<void>(server);
        }
        if (loaded != 0) {
            char shown[4 * DIR_NAME_SIZE];
            report("quorvel_obj_start", 16376, fault::none, "could not load bubble %s\n",
                   log_safe(name, shown, sizeof(shown)));
        }
    }
    dir_close(dir);
}

} // namespace

int server_start(envelope* e)
{
    clear_errors();
    if (e == nullptr || e->object == nullptr || e->type != quorvel_obj_server ||
        (e->flags & ENVELOPE_STARTED)) {
        report("quorvel_obj_start", 16326, fault::bad_arg,
               "operation not supported for provided object\n");
        return -1;
    }
    auto* server = static_cast<server_record*>(e->object);
    if (server->listener_count <= 0 || server->listeners == nullptr) {
        report("quorvel_obj_start", 16335, fault::bad_arg, "no listeners have been defined\n");
        return -1;
    }
    if (server->bubble_dir != nullptr)
        scan_bubbles(e, server->bubble_dir);

    if (server_run_prepare(server) != 0)
        return -1;
    thread_record* kernel = thread_create(quorvel_kernel, server, 0, true);
    if (kernel == nullptr) {
        server_run_release(server);
        return -1;
    }
    server->kernel = kernel;
    // From now on handlers read the protocol table without a lock: no more registrations.
    protocol_freeze();
    thread_resume(kernel);
    e->flags |= ENVELOPE_STARTED | ENVELOPE_LOCKED;
    clear_errors();
    return 0;
}

} // namespace quorvel
