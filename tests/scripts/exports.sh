#!/usr/bin/env bash
# The shared library exports the C interface and nothing else.
set -euo pipefail
lib="$1/libquorvel32_2k.so"
symbols=$(nm -D --defined-only "$lib" | awk '{print $3}')
stray=$(grep -v '^quorvel_' <<<"$symbols" || true)
if [ -n "$stray" ]; then
    echo "symbols outside the interface:"; echo "$stray"; exit 1
fi
# The calls of the interface, and the last-error accessor.
for name in quorvel_init quorvel_isinitialized quorvel_debug quorvel_get_sys \
            quorvel_thread_continue quorvel_make_return_value quorvel_obj_create \
            quorvel_obj_destroy quorvel_obj_start quorvel_obj_set quorvel_obj_get \
            quorvel_mem_alloc quorvel_mem_free quorvel_event_set quorvel_event_wait \
            quorvel_event_waittimed quorvel_mutex_lock quorvel_mutex_unlock quorvel_worker_task \
            quorvel_printf quorvel_uprintf quorvel_put quorvel_putf quorvel_getf quorvel_rcv \
            quorvel_marshal quorvel_unmarshal quorvel_file_stream quorvel_bubble_load \
            quorvel_bubble_destroy quorvel_bubble_assign_prop quorvel_bubble_pinfo \
            quorvel_last_error; do
    grep -qx "$name" <<<"$symbols" || { echo "missing export: $name"; exit 1; }
done
# Every export is declared in the public header.
for name in $symbols; do
    grep -q "\b$name(" "$(dirname "$0")/../../include/quorvel.h" || { echo "undeclared: $name"; exit 1; }
done
echo "exports ok: $(wc -w <<<"$symbols")"
