// The server record: everything a connection handler needs to answer requests (root,
// index file, MIME and URI tables, stored content, listeners, threads). Configured through
// attributes before the start; each handler thread then works on its own deep copy.
#pragma once

#include "quorvel.h"

#include <atomic>
#include <cstdint>
#include <type_traits>

namespace quorvel {

struct htable;
struct socket;
using thread_record = ::quorvel_thread;

// Server flag bits.
inline constexpr uint32_t SERVER_SSI = 0x1;     // stored pages go through server-side includes
inline constexpr uint32_t SERVER_DIRLIST = 0x4; // directories may be answered with a listing

inline constexpr int SERVER_INDEX_SIZE = 80;
inline constexpr char SERVER_DEFAULT_INDEX[] = "/index.html";

struct mime_record {
    quorvel_mime_fn handler; // produces the body for files of this type; NULL for plain types
    char* content_type;
    uint32_t encoding; // QUORVEL_ENC_TEXT or QUORVEL_ENC_BINARY
};
static_assert(std::is_trivially_destructible_v<mime_record>);

struct uri_record {
    quorvel_uri_fn callback;
    const mime_record* mime; // one of the two static records for text and binary encodings
};
static_assert(std::is_trivially_destructible_v<uri_record>);

struct server_record {
    std::atomic<uint32_t> status; // 0 healthy, 1 when binding, listening or a handler failed
    uint32_t flags;               // SERVER_SSI, SERVER_DIRLIST
    char index[SERVER_INDEX_SIZE];
    char* bubble_dir; // NULL: no bubble scan
    htable* mime_table;    // extension -> mime_record
    htable* get_uris;      // URI -> uri_record
    htable* content_cache; // URI -> stored bytes
    htable* post_uris;     // URI -> uri_record
    socket** listeners;
    int32_t listener_count;
    char* root;
    thread_record* kernel;
    thread_record** handlers;
    uint32_t handler_count;
};
static_assert(std::is_trivially_destructible_v<server_record>);

} // namespace quorvel
