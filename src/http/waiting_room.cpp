// The waiting room: one epoll loop on the kernel thread over the listeners, every connection
// whose request is still arriving, every connection whose answer is still leaving and every
// connection being closed. A timer heap keeps the deadline of each; the handlers' queue is a
// list under a mutex with a condition variable.
#include "http/waiting_room.h"

#include "core/report.h"
#include "core/settings.h"
#include "core/thread_heap.h"
#include "http/connection.h"
#include "http/protocol.h"
#include "http/request.h"
#include "http/server.h"
#include "net/accept.h"
#include "net/file_stream.h"
#include "net/socket.h"
#include "net/socket_io.h"
#include "platform/os.h"
#include "threads/thread.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <pthread.h>
#include <string_view>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace quorvel {

namespace {

// A connection that sends nothing is closed this long after it was accepted.
constexpr int64_t FIRST_BYTE_MS = 1000;
// A connection being closed has its input dropped for at most this long, and this much.
constexpr int64_t CLOSING_MS = 1000;
constexpr uint32_t CLOSING_DROP_MAX = 64 * 1024;
// Accepting rests this long when the process has no descriptor left.
constexpr int64_t ACCEPT_PAUSE_MS = 100;
// Longest poll, so the stop flag is seen even without a wake.
constexpr int64_t IDLE_POLL_MS = 1000;
// Connections taken from one ready listener before the others get their turn.
constexpr int ACCEPT_BATCH = 64;
constexpr int POLL_EVENTS = 64;
// First size of the area a request arrives in; it doubles as needed.
constexpr uint32_t FIRST_AREA = 2048;
constexpr uint32_t NO_TIMER = UINT32_MAX;

// What a poll registration points at: a guest, a listening handle or the wake counter, told
// apart by their first byte.
enum watch_kind : uint8_t { WATCH_GUEST = 1, WATCH_LISTENER = 2, WATCH_WAKE = 3 };

// Where a guest is: reading its request, sending its answer or being closed in the room, or
// out of it (queued, or with a handler).
enum guest_phase : uint8_t {
    PHASE_READING = 0,
    PHASE_SENDING = 1,
    PHASE_CLOSING = 2,
    PHASE_HANDED = 3,
    PHASE_GONE = 4, // closed while the events of one poll are handled; released after them
};

struct listen_watch {
    uint8_t watch;
    int fd;
    const socket* listener;
};

// What reading found.
enum class arrival_state { waiting, arrived, gone };

} // namespace

struct waiting_room {
    int poll_fd;
    int wake_fd; // an eventfd, written to wake the loop
    uint8_t wake_watch;
    listen_watch* listeners;
    uint32_t listener_count;
    bool accept_paused;
    int64_t resume_ms;
    // A min-heap of the room's guests by `due_ms`; every guest in the room is in it.
    guest** timers;
    uint32_t timer_count;
    uint32_t timer_capacity;
    // Guests reading their request, oldest first: the first to go when the room is full.
    guest* oldest;
    guest* newest;
    uint32_t held; // guests in the room, whatever their phase
    // Guests closed while the events of one poll are handled: a later event of the same poll
    // may still point at one, so they are released after the last.
    guest* gone;
    bool handling;

    // Shared with the handlers, under `lock`.
    pthread_mutex_t lock;
    pthread_cond_t arrived;
    guest* queue_head;
    guest* queue_tail;
    std::atomic<uint32_t> queued;
    guest* returned; // given back by handlers, for the room to take in
    uint64_t wakeups;
    bool stopped;
};

namespace {

// The timer heap.

bool timer_before(const guest* a, const guest* b)
{
    return a->due_ms < b->due_ms;
}

void timer_place(waiting_room* r, uint32_t at, guest* g)
{
    r->timers[at] = g;
    g->timer = at;
}

void timer_sift(waiting_room* r, uint32_t at)
{
    guest* g = r->timers[at];
    while (at > 0 && timer_before(g, r->timers[(at - 1) / 2])) {
        timer_place(r, at, r->timers[(at - 1) / 2]);
        at = (at - 1) / 2;
    }
    for (;;) {
        uint32_t child = 2 * at + 1;
        if (child >= r->timer_count)
            break;
        if (child + 1 < r->timer_count && timer_before(r->timers[child + 1], r->timers[child]))
            ++child;
        if (!timer_before(r->timers[child], g))
            break;
        timer_place(r, at, r->timers[child]);
        at = child;
    }
    timer_place(r, at, g);
}

// Gives `g` the deadline `due_ms`, entering it into the heap when it is not there: false
// when the heap cannot grow.
bool timer_set(waiting_room* r, guest* g, int64_t due_ms)
{
    g->due_ms = due_ms;
    if (g->timer != NO_TIMER) {
        timer_sift(r, g->timer);
        return true;
    }
    if (r->timer_count == r->timer_capacity) {
        uint32_t capacity = std::max<uint32_t>(64, r->timer_capacity * 2);
        auto* grown = static_cast<guest**>(general_alloc(sizeof(guest*) * capacity));
        if (grown == nullptr)
            return false;
        std::copy(r->timers, r->timers + r->timer_count, grown);
        mem_free(r->timers);
        r->timers = grown;
        r->timer_capacity = capacity;
    }
    timer_place(r, r->timer_count++, g);
    timer_sift(r, g->timer);
    return true;
}

void timer_remove(waiting_room* r, guest* g)
{
    uint32_t at = g->timer;
    if (at == NO_TIMER)
        return;
    g->timer = NO_TIMER;
    guest* last = r->timers[--r->timer_count];
    if (last != g) {
        timer_place(r, at, last);
        timer_sift(r, at);
    }
}

// The list of readers.

void link_reader(waiting_room* r, guest* g)
{
    g->prev = r->newest;
    g->next = nullptr;
    (r->newest != nullptr ? r->newest->next : r->oldest) = g;
    r->newest = g;
}

void unlink_reader(waiting_room* r, guest* g)
{
    if (g->phase != PHASE_READING)
        return;
    (g->prev != nullptr ? g->prev->next : r->oldest) = g->next;
    (g->next != nullptr ? g->next->prev : r->newest) = g->prev;
    g->prev = g->next = nullptr;
}

// Poll registrations.

bool watch(waiting_room* r, guest* g, uint32_t events)
{
    epoll_event change{};
    change.events = events;
    change.data.ptr = g;
    int operation = g->polled ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (::epoll_ctl(r->poll_fd, operation, g->fd, &change) != 0)
        return false;
    g->polled = 1;
    return true;
}

void unwatch(waiting_room* r, guest* g)
{
    if (g->polled)
        ::epoll_ctl(r->poll_fd, EPOLL_CTL_DEL, g->fd, nullptr);
    g->polled = 0;
}

void ring(waiting_room* r)
{
    uint64_t one = 1;
    while (::write(r->wake_fd, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
}

// Closes a connection record at once: nothing it still holds is sent and its peer is not
// waited for.
void close_now(socket** s)
{
    int fd = (*s)->fd[0];
    (*s)->fd[0] = -1;
    (*s)->fd[1] = -1;
    if (fd != -1)
        ::close(fd);
    socket_destroy(s);
}

// True when the peer has sent bytes nobody read: closing would then reset the connection and
// could destroy the answer on its way.
bool input_left(int fd)
{
    int unread = 0;
    return ::ioctl(fd, FIONREAD, &unread) == 0 && unread > 0;
}

void release_guest(guest* g)
{
    if (g->sock != nullptr)
        close_now(&g->sock);
    else if (g->fd != -1)
        ::close(g->fd);
    mem_free(g->data);
    mem_free(g);
}

// Takes `g` out of the room and closes its connection.
void drop(waiting_room* r, guest* g)
{
    timer_remove(r, g);
    unlink_reader(r, g);
    unwatch(r, g);
    --r->held;
    if (!r->handling) {
        release_guest(g);
        return;
    }
    if (g->sock != nullptr)
        close_now(&g->sock);
    else if (g->fd != -1)
        ::close(g->fd);
    g->fd = -1;
    g->phase = PHASE_GONE;
    g->next = r->gone;
    r->gone = g;
}

void release_gone(waiting_room* r)
{
    while (r->gone != nullptr) {
        guest* g = r->gone;
        r->gone = g->next;
        release_guest(g);
    }
}

// Reading requests.

// Makes room for more input in the area of `g`, which may hold at most `limit` bytes.
bool widen(guest* g, uint32_t limit)
{
    uint32_t capacity = std::min(std::max(FIRST_AREA, g->capacity * 2), limit);
    auto* area = static_cast<char*>(general_alloc(capacity));
    if (area == nullptr)
        return false;
    if (g->used > 0)
        std::memcpy(area, g->data, g->used);
    mem_free(g->data);
    g->data = area;
    g->capacity = capacity;
    return true;
}

// True when the input of `g` is all a handler needs: a protocol announcement up to its ';'
// (or too long for one), or a head with the body it announces when that fits the request
// buffer. `from` is the first byte not yet looked at.
bool request_complete(guest* g, uint32_t from)
{
    if (g->data[0] == '&' && protocol_table_exists()) {
        uint32_t end = std::min<uint32_t>(g->used, PROTOCOL_ANNOUNCE_MAX + 2);
        return std::memchr(g->data + 1, ';', end - 1) != nullptr ||
               g->used >= PROTOCOL_ANNOUNCE_MAX + 2;
    }
    if (g->wanted == 0) {
        head_end end{g->head_state};
        for (uint32_t i = from; i < g->used; ++i) {
            if (end.take(g->data[i])) {
                uint32_t head = i + 1;
                int64_t body = head_content_length(std::string_view(g->data, head));
                bool read_here = body > 0 && body <= request_buffer_size();
                g->wanted = head + (read_here ? static_cast<uint32_t>(body) : 0);
                break;
            }
        }
        g->head_state = end.state;
        if (g->wanted == 0)
            return false;
    }
    return g->used >= g->wanted;
}

// Reads what the connection of `g` has delivered, until it would wait. On `arrived`,
// `*how` tells how.
arrival_state read_request(guest* g, uint8_t* how)
{
    for (;;) {
        if (g->used == g->capacity) {
            uint32_t limit =
                g->wanted != 0 ? g->wanted : static_cast<uint32_t>(request_buffer_size());
            if (g->capacity >= limit) {
                *how = ARRIVED_TOO_LARGE;
                return arrival_state::arrived;
            }
            if (!widen(g, limit))
                return arrival_state::gone;
        }
        ssize_t n = ::recv(g->fd, g->data + g->used, g->capacity - g->used, MSG_DONTWAIT);
        if (n > 0) {
            uint32_t from = g->used;
            g->used += static_cast<uint32_t>(n);
            if (request_complete(g, from)) {
                *how = ARRIVED;
                return arrival_state::arrived;
            }
            continue;
        }
        if (n == 0) {
            if (g->used == 0)
                return arrival_state::gone;
            *how = ARRIVED_CUT;
            return arrival_state::arrived;
        }
        if (errno == EINTR)
            continue;
        bool later = errno == EAGAIN || errno == EWOULDBLOCK;
        errno = 0;
        return later ? arrival_state::waiting : arrival_state::gone;
    }
}

// Queues a guest for the handlers.
void enqueue(waiting_room* r, guest* g)
{
    g->next = nullptr;
    ::pthread_mutex_lock(&r->lock);
    (r->queue_tail != nullptr ? r->queue_tail->next : r->queue_head) = g;
    r->queue_tail = g;
    r->queued.fetch_add(1, std::memory_order_relaxed);
    ::pthread_mutex_unlock(&r->lock);
    // Signalled after the unlock: a handler woken while the lock is still held would only
    // block on it again.
    ::pthread_cond_signal(&r->arrived);
}

// Hands a guest whose request has arrived (or will not) to the handlers: its connection
// record is made, holding the input as unread bytes.
void hand_over(waiting_room* r, guest* g, uint8_t how)
{
    timer_remove(r, g);
    unlink_reader(r, g);
    unwatch(r, g);
    --r->held;
    g->phase = PHASE_HANDED;
    g->sock = socket_adopt(g->listener, g->fd, g->address, g->address_length);
    g->fd = -1;
    if (g->sock == nullptr || socket_preload(g->sock, g->data, g->used) != 0) {
        release_guest(g);
        return;
    }
    g->sock->timeout = request_timeout_seconds();
    g->sock->deadline_ms = g->deadline_ms;
    mem_free(g->data);
    g->data = nullptr;
    g->used = g->capacity = 0;
    g->arrival = how;
    enqueue(r, g);
}

// After a read that found nothing more for now: how long the reader may still take.
void keep_reading(waiting_room* r, guest* g)
{
    int64_t due = g->used == 0 ? g->accepted_ms + FIRST_BYTE_MS : g->deadline_ms;
    if (!timer_set(r, g, due) || (!g->polled && !watch(r, g, EPOLLIN)))
        drop(r, g);
}

void on_readable(waiting_room* r, guest* g)
{
    uint8_t how = ARRIVED;
    switch (read_request(g, &how)) {
    case arrival_state::arrived:
        hand_over(r, g, how);
        break;
    case arrival_state::gone:
        drop(r, g);
        break;
    case arrival_state::waiting:
        keep_reading(r, g);
        break;
    }
}

// Accepting.

void pause_accepting(waiting_room* r)
{
    if (r->accept_paused)
        return;
    for (uint32_t i = 0; i < r->listener_count; ++i)
        ::epoll_ctl(r->poll_fd, EPOLL_CTL_DEL, r->listeners[i].fd, nullptr);
    r->accept_paused = true;
    r->resume_ms = monotonic_ms() + ACCEPT_PAUSE_MS;
    debug("quorvel_kernel", 15740, "no descriptors left, accepting paused\n");
}

void watch_listeners(waiting_room* r)
{
    for (uint32_t i = 0; i < r->listener_count; ++i) {
        epoll_event change{};
        change.events = EPOLLIN;
        change.data.ptr = &r->listeners[i];
        ::epoll_ctl(r->poll_fd, EPOLL_CTL_ADD, r->listeners[i].fd, &change);
    }
    r->accept_paused = false;
}

// Takes a new connection in: a request that is already there goes to the handlers at once.
// When the room is full, the reader that has waited longest makes way, or else the newcomer.
void admit(waiting_room* r, const listen_watch* w, int fd, const sockaddr_storage& address,
           socklen_t length)
{
    auto limit = static_cast<uint32_t>(connection_limit());
    if (r->held + r->queued.load(std::memory_order_relaxed) >= limit) {
        if (r->oldest == nullptr) {
            ::close(fd);
            return;
        }
        drop(r, r->oldest);
    }
    auto* g = static_cast<guest*>(general_alloc(sizeof(guest)));
    if (g == nullptr) {
        ::close(fd);
        return;
    }
    g->watch = WATCH_GUEST;
    g->fd = fd;
    g->listener = w->listener;
    g->address = address;
    g->address_length = length;
    g->accepted_ms = monotonic_ms();
    g->deadline_ms = g->accepted_ms + int64_t{request_timeout_seconds()} * 1000;
    g->timer = NO_TIMER;
    g->phase = PHASE_READING;
    ++r->held;
    link_reader(r, g);
    on_readable(r, g);
}

void on_listener(waiting_room* r, const listen_watch* w)
{
    for (int i = 0; i < ACCEPT_BATCH; ++i) {
        sockaddr_storage address{};
        socklen_t length = 0;
        int fd = socket_accept_fd(w->fd, &address, &length);
        if (fd != -1) {
            admit(r, w, fd, address, length);
            continue;
        }
        int cause = errno;
        errno = 0;
        if (cause == EMFILE || cause == ENFILE || cause == ENOBUFS || cause == ENOMEM)
            pause_accepting(r);
        // A connection the peer gave up before it was taken leaves the others waiting.
        if (cause != ECONNABORTED && cause != EPROTO)
            return;
    }
}

// Sending and closing.

// The connection of `g` has sent its answer: it is closed now, or once its peer has stopped
// sending when input is left that would otherwise turn the close into a reset.
void finish(waiting_room* r, guest* g)
{
    if (!input_left(g->fd)) {
        drop(r, g);
        return;
    }
    ::shutdown(g->fd, SHUT_WR);
    g->phase = PHASE_CLOSING;
    g->drained = 0;
    if (!timer_set(r, g, monotonic_ms() + CLOSING_MS) || !watch(r, g, EPOLLIN))
        drop(r, g);
}

// Sends what the connection of `g` takes now; a client that takes nothing for the request
// time-out is given up.
void send_more(waiting_room* r, guest* g)
{
    int pushed = socket_push(g->sock);
    if (pushed < 0) {
        drop(r, g);
        return;
    }
    if (pushed == 1) {
        finish(r, g);
        return;
    }
    uint64_t left = socket_pending(g->sock);
    bool moved = g->phase != PHASE_SENDING || left < g->pending;
    g->phase = PHASE_SENDING;
    g->pending = left;
    if (moved && !timer_set(r, g, monotonic_ms() + int64_t{request_timeout_seconds()} * 1000)) {
        drop(r, g);
        return;
    }
    if (!watch(r, g, EPOLLOUT))
        drop(r, g);
}

void drain(waiting_room* r, guest* g)
{
    char sink[4096];
    for (;;) {
        ssize_t n = ::recv(g->fd, sink, sizeof(sink), MSG_DONTWAIT);
        if (n > 0) {
            g->drained += static_cast<uint32_t>(n);
            if (g->drained < CLOSING_DROP_MAX)
                continue;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            errno = 0;
            return;
        }
        errno = 0;
        drop(r, g);
        return;
    }
}

// Connections handlers gave back, taken into the room.
void take_returned(waiting_room* r)
{
    ::pthread_mutex_lock(&r->lock);
    guest* list = r->returned;
    r->returned = nullptr;
    ::pthread_mutex_unlock(&r->lock);
    while (list != nullptr) {
        guest* g = list;
        list = g->next;
        g->next = g->prev = nullptr;
        g->fd = g->sock->fd[0];
        g->timer = NO_TIMER;
        g->pending = UINT64_MAX;
        ++r->held;
        send_more(r, g);
    }
}

void on_event(waiting_room* r, const epoll_event& event)
{
    switch (*static_cast<const uint8_t*>(event.data.ptr)) {
    case WATCH_LISTENER:
        on_listener(r, static_cast<const listen_watch*>(event.data.ptr));
        return;
    case WATCH_WAKE: {
        uint64_t count = 0;
        while (::read(r->wake_fd, &count, sizeof(count)) < 0 && errno == EINTR) {
        }
        errno = 0;
        return;
    }
    default:
        break;
    }
    auto* g = static_cast<guest*>(event.data.ptr);
    switch (g->phase) {
    case PHASE_READING:
        on_readable(r, g);
        break;
    case PHASE_SENDING:
        send_more(r, g);
        break;
    case PHASE_CLOSING:
        drain(r, g);
        break;
    default:
        break;
    }
}

// Gives up on every guest whose deadline has passed: a request that began arriving is
// answered as late, anything else is closed.
void expire(waiting_room* r, int64_t now)
{
    while (r->timer_count > 0 && r->timers[0]->due_ms <= now) {
        guest* g = r->timers[0];
        if (g->phase == PHASE_READING && g->used > 0) {
            hand_over(r, g, ARRIVED_LATE);
            continue;
        }
        if (g->phase == PHASE_SENDING)
            debug("quorvel_kernel", 15742, "%s took nothing for %d s, connection closed\n",
                  g->sock->peer, request_timeout_seconds());
        drop(r, g);
    }
}

int poll_wait_ms(const waiting_room* r, int64_t now)
{
    int64_t wait = IDLE_POLL_MS;
    if (r->timer_count > 0)
        wait = std::min(wait, r->timers[0]->due_ms - now);
    if (r->accept_paused)
        wait = std::min(wait, r->resume_ms - now);
    return static_cast<int>(std::max<int64_t>(wait, 0));
}

bool register_listeners(waiting_room* r, const server_record* server)
{
    uint32_t count = 0;
    for (int32_t i = 0; i < server->listener_count; ++i)
        for (int fd : server->listeners[i]->fd)
            count += fd != -1 ? 1 : 0;
    r->listeners = static_cast<listen_watch*>(general_alloc(sizeof(listen_watch) * (count + 1)));
    if (r->listeners == nullptr)
        return false;
    for (int32_t i = 0; i < server->listener_count; ++i)
        for (int fd : server->listeners[i]->fd)
            if (fd != -1)
                r->listeners[r->listener_count++] =
                    listen_watch{WATCH_LISTENER, fd, server->listeners[i]};
    watch_listeners(r);
    return true;
}

// Closes everything the room and its queue hold, and makes handlers close what they give
// back from now on.
void close_all(waiting_room* r)
{
    ::pthread_mutex_lock(&r->lock);
    r->stopped = true;
    guest* queued = r->queue_head;
    guest* returned = r->returned;
    r->queue_head = r->queue_tail = nullptr;
    r->returned = nullptr;
    r->queued.store(0);
    ::pthread_mutex_unlock(&r->lock);
    for (guest* list : {queued, returned}) {
        while (list != nullptr) {
            guest* g = list;
            list = g->next;
            release_guest(g);
        }
    }
    while (r->timer_count > 0)
        drop(r, r->timers[0]);
}

} // namespace

waiting_room* room_create()
{
    auto* r = static_cast<waiting_room*>(general_alloc(sizeof(waiting_room)));
    if (r == nullptr) {
        report("quorvel_obj_start", 16388, fault::no_memory,
               "insufficient memory to perform operation\n");
        return nullptr;
    }
    r->poll_fd = ::epoll_create1(EPOLL_CLOEXEC);
    r->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    r->wake_watch = WATCH_WAKE;
    pthread_condattr_t attr;
    bool made = r->poll_fd != -1 && r->wake_fd != -1 && ::pthread_condattr_init(&attr) == 0;
    if (made) {
        made = ::pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0 &&
               ::pthread_cond_init(&r->arrived, &attr) == 0;
        ::pthread_condattr_destroy(&attr);
    }
    if (made && ::pthread_mutex_init(&r->lock, nullptr) != 0) {
        ::pthread_cond_destroy(&r->arrived);
        made = false;
    }
    epoll_event change{};
    change.events = EPOLLIN;
    change.data.ptr = &r->wake_watch;
    if (made && ::epoll_ctl(r->poll_fd, EPOLL_CTL_ADD, r->wake_fd, &change) != 0) {
        ::pthread_cond_destroy(&r->arrived);
        ::pthread_mutex_destroy(&r->lock);
        made = false;
    }
    if (!made) {
        report_text("quorvel_obj_start", 16390, fault::none, "could not create waiting room\n");
        if (r->poll_fd != -1)
            ::close(r->poll_fd);
        if (r->wake_fd != -1)
            ::close(r->wake_fd);
        mem_free(r);
        return nullptr;
    }
    r->queued.store(0);
    return r;
}

void room_destroy(waiting_room** r)
{
    if (r == nullptr || *r == nullptr)
        return;
    waiting_room* gone = *r;
    *r = nullptr;
    close_all(gone);
    ::close(gone->poll_fd);
    ::close(gone->wake_fd);
    ::pthread_cond_destroy(&gone->arrived);
    ::pthread_mutex_destroy(&gone->lock);
    mem_free(gone->timers);
    mem_free(gone->listeners);
    mem_free(gone);
}

void room_run(waiting_room* r, server_record* server, thread_record* thread)
{
    // Sending files raises no SIGPIPE on this thread.
    socket_block_sigpipe();
    if (!register_listeners(r, server)) {
        report("quorvel_kernel", 15738, fault::no_memory,
               "insufficient memory to perform operation\n");
        return;
    }
    epoll_event events[POLL_EVENTS];
    while (!thread->stop_requested.load()) {
        int64_t now = monotonic_ms();
        int ready = ::epoll_wait(r->poll_fd, events, POLL_EVENTS, poll_wait_ms(r, now));
        r->handling = true;
        for (int i = 0; i < ready; ++i)
            on_event(r, events[i]);
        r->handling = false;
        release_gone(r);
        errno = 0;
        take_returned(r);
        now = monotonic_ms();
        if (r->accept_paused && now >= r->resume_ms)
            watch_listeners(r);
        expire(r, now);
    }
    close_all(r);
}

guest* room_take(waiting_room* r, int wait_ms)
{
    timespec deadline = monotonic_deadline(wait_ms);
    ::pthread_mutex_lock(&r->lock);
    uint64_t seen = r->wakeups;
    while (r->queue_head == nullptr && r->wakeups == seen) {
        if (::pthread_cond_timedwait(&r->arrived, &r->lock, &deadline) == ETIMEDOUT)
            break;
    }
    guest* g = r->queue_head;
    if (g != nullptr) {
        r->queue_head = g->next;
        if (r->queue_head == nullptr)
            r->queue_tail = nullptr;
        r->queued.fetch_sub(1, std::memory_order_relaxed);
        g->next = nullptr;
    }
    ::pthread_mutex_unlock(&r->lock);
    return g;
}

void room_return(waiting_room* r, guest* g)
{
    socket* s = g->sock;
    if (s != nullptr && !(s->flags & SOCK_FAILED)) {
        int pushed = socket_push(s);
        if (pushed == 0 || (pushed == 1 && input_left(s->fd[0]))) {
            ::pthread_mutex_lock(&r->lock);
            bool open = !r->stopped;
            if (open) {
                g->next = r->returned;
                r->returned = g;
            }
            ::pthread_mutex_unlock(&r->lock);
            if (open) {
                ring(r);
                return;
            }
        }
    }
    // All sent and nothing unread (the close then sends a plain end of stream after the
    // answer), or a connection that failed: closed at once.
    release_guest(g);
}

void room_wake(waiting_room* r)
{
    if (r == nullptr)
        return;
    ring(r);
    ::pthread_mutex_lock(&r->lock);
    ++r->wakeups;
    ::pthread_cond_broadcast(&r->arrived);
    ::pthread_mutex_unlock(&r->lock);
}

} // namespace quorvel
