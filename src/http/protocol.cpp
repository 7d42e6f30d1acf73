// The protocol table. Registration and the one-time stripping of the table's lock are
// serialised by a lock of their own, so a registration racing a start is refused cleanly
// rather than storing into a table whose mutex is being destroyed.
#include "http/protocol.h"

#include "core/guard.h"
#include "core/report.h"
#include "core/thread_heap.h"
#include "foundation/htable.h"
#include "net/socket.h"
#include "net/socket_io.h"
#include "threads/sync.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace quorvel {

namespace {

// Requested size of the table: 101 buckets.
constexpr uint32_t PROTOCOL_TABLE_SIZE = 100;

mutex registry_lock{PTHREAD_MUTEX_INITIALIZER, 0};
std::atomic<htable*> protocols{nullptr};
bool frozen = false;   // under registry_lock
bool stripped = false; // under registry_lock

} // namespace

int protocol_register(const char* name, quorvel_protocol_fn fn)
{
    clear_errors();
    if (name == nullptr || fn == nullptr) {
        report("quorvel_obj_create::quorvel_obj_protocol", 16236, fault::bad_arg,
               "null argument passed\n");
        return 0;
    }
    size_t length = ::strnlen(name, PROTOCOL_REGISTER_MAX + 1);
    // A name that cannot be announced in full could never be reached.
    if (length == 0 || length > PROTOCOL_REGISTER_MAX || std::memchr(name, ';', length)) {
        report("quorvel_obj_create::quorvel_obj_protocol", 16240, fault::bad_arg,
               "invalid protocol name, at most %u characters without ';' expected\n",
               PROTOCOL_REGISTER_MAX);
        return 0;
    }
    mutex_guard hold(&registry_lock);
    // The same function under the same name again changes nothing, so it is no registration
    // to refuse: a plug-in loaded by a second server names the protocols it gave the first.
    if (frozen && protocol_lookup(name, static_cast<uint32_t>(length)) == fn)
        return 1;
    if (frozen) {
        report("quorvel_obj_create::quorvel_obj_protocol", 16244, fault::bad_arg,
               "protocols must be registered before the first server start\n");
        return 0;
    }
    // The table lives as long as the process: never in the caller's thread heap.
    general_alloc_scope general;
    htable* table = protocols.load(std::memory_order_acquire);
    if (table == nullptr) {
        table = htable_create(PROTOCOL_TABLE_SIZE);
        if (table == nullptr)
            return 0;
        protocols.store(table, std::memory_order_release);
    }
    int stored =
        htable_store(table, name, static_cast<uint32_t>(length), &fn, sizeof(fn), true, nullptr);
    return stored == 0 ? 1 : 0;
}

void protocol_freeze()
{
    mutex_guard hold(&registry_lock);
    frozen = true;
}

void protocol_strip()
{
    mutex_guard hold(&registry_lock);
    frozen = true;
    htable* table = protocols.load(std::memory_order_acquire);
    // Several servers may start; handlers of the first already read the table unlocked.
    if (table != nullptr && !stripped)
        htable_removesync(table);
    stripped = true;
}

bool protocol_table_exists()
{
    return protocols.load(std::memory_order_acquire) != nullptr;
}

socket* protocol_connect(const char* host, const char* protocol, int32_t port, int32_t timeout)
{
    if (host == nullptr || protocol == nullptr) {
        report("quorvel_obj_create::quorvel_obj_stream", 16205, fault::bad_arg,
               "null argument passed\n");
        return nullptr;
    }
    if (std::strlen(protocol) > PROTOCOL_REGISTER_MAX) {
        report("quorvel_obj_create::quorvel_obj_stream", 16208, fault::bad_arg,
               "protocol name too long\n");
        return nullptr;
    }
    debug("quorvel_obj_create::quorvel_obj_stream", 16212, "connecting to %s on port %d\n", host,
          port);
    socket* s = socket_open(host, port, timeout);
    if (s == nullptr)
        return nullptr;
    char announcement[PROTOCOL_REGISTER_MAX + 3];
    int length = std::snprintf(announcement, sizeof(announcement), "&%s;", protocol);
    if (socket_snd(s, announcement, static_cast<uint32_t>(length)) == -1) {
        errno_saver keep;
        socket_destroy(&s);
        return nullptr;
    }
    return s;
}

quorvel_protocol_fn protocol_lookup(const char* name, uint32_t length)
{
    const htable* table = protocols.load(std::memory_order_acquire);
    if (table == nullptr || name == nullptr || length == 0)
        return nullptr;
    uint32_t size = 0;
    const void* value = htable_getref(table, name, length, &size);
    quorvel_protocol_fn fn = nullptr;
    if (value == nullptr || size != sizeof(fn))
        return nullptr;
    std::memcpy(&fn, value, sizeof(fn));
    return fn;
}

} // namespace quorvel
