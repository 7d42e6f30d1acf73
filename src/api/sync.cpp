// The synchronisation calls on the host's mutexes and events, and task submission to worker
// pools. Each checks the handle's type, then forwards to the object.
#include "threads/sync.h"
#include "api/envelope.h"
#include "core/report.h"
#include "quorvel.h"
#include "threads/worker.h"

using namespace quorvel;

namespace {

// The object of a handle of type `tag`, or NULL after the call's refusal line.
void* object_of(envelope* object, uint32_t tag, const char* fn, int id)
{
    if (object == nullptr || object->type != tag || object->object == nullptr) {
        report(fn, id, fault::bad_arg, "operation not supported for provided object\n");
        return nullptr;
    }
    return object->object;
}

} // namespace

extern "C" QUORVEL_API int quorvel_mutex_lock(envelope* object) noexcept
{
    clear_errors();
    auto* m =
        static_cast<mutex*>(object_of(object, quorvel_obj_mutex, "quorvel_mutex_lock", 16632));
    return m != nullptr ? mutex_lock(m) : -1;
}

extern "C" QUORVEL_API int quorvel_mutex_unlock(envelope* object) noexcept
{
    clear_errors();
    auto* m =
        static_cast<mutex*>(object_of(object, quorvel_obj_mutex, "quorvel_mutex_unlock", 16661));
    return m != nullptr ? mutex_unlock(m) : -1;
}

extern "C" QUORVEL_API int quorvel_event_set(envelope* object) noexcept
{
    clear_errors();
    auto* e = static_cast<event*>(object_of(object, quorvel_obj_event, "quorvel_event_set", 16506));
    return e != nullptr ? event_signal(e) : -1;
}

extern "C" QUORVEL_API int quorvel_event_wait(envelope* object) noexcept
{
    clear_errors();
    auto* e =
        static_cast<event*>(object_of(object, quorvel_obj_event, "quorvel_event_wait", 16595));
    return e != nullptr ? event_wait(e) : -1;
}

extern "C" QUORVEL_API int quorvel_event_waittimed(envelope* object, int milliseconds) noexcept
{
    clear_errors();
    auto* e =
        static_cast<event*>(object_of(object, quorvel_obj_event, "quorvel_event_waittimed", 16551));
    return e != nullptr ? event_waittimed(e, milliseconds) : -1;
}

extern "C" QUORVEL_API int quorvel_worker_task(envelope* object, quorvel_task_fn function,
                                               void* argument, int size) noexcept
{
    clear_errors();
    auto* pool = static_cast<worker_pool*>(
        object_of(object, quorvel_obj_worker, "quorvel_worker_task", 15841));
    return pool != nullptr ? task_push(pool, function, argument, size) : -1;
}
