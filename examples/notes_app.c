/* notes_app: a small notes board built on the Quorvel library.
 *
 *   GET  /             the notes, newest first, and a form to add one
 *   POST /notes        adds a note from the form; a cookie remembers the author's name
 *   GET  /api/notes    the notes as JSON
 *   GET  /style.css    the stylesheet, stored in the server's memory
 *   anything else      files from the folder given with --root (default examples/notes)
 *
 * Every note is also appended to a file (--data, default $TMPDIR/quorvel-notes.txt) by a
 * worker pool, so the form is answered at once; the board starts with the notes the file
 * holds, and a stop waits for the pool to write what is queued.
 *
 * Run it from the project's top with `make app`, then open http://127.0.0.1:8081/. With
 * --port 0 it takes a free port; the URL it prints once serving names it.
 *
 * quorvel_uprintf writes every byte above 127 as a character reference of that value, which is
 * how Latin-1 text reads; so the board's pages are Latin-1 (browsers then post the form in
 * Latin-1 too), and the JSON list converts the notes to UTF-8. */
#define _POSIX_C_SOURCE 200809L

#include "quorvel.h"

#include <ctype.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define MAX_NOTES 200
#define AUTHOR_SIZE 64
#define TEXT_SIZE 1024
#define COOKIE_DAYS 30

struct note {
    char author[AUTHOR_SIZE];
    char text[TEXT_SIZE];
    time_t when;
};

/* The board: a ring of the latest notes. Callbacks run on several handler threads at once. */
static struct note notes[MAX_NOTES];
static int note_count;
static int note_next;
static pthread_mutex_t board = PTHREAD_MUTEX_INITIALIZER;

/* The worker pool that appends notes to the data file. */
static envelope* writer;
static char data_file[1024];

static const char stylesheet[] =
    "body { font-family: system-ui, sans-serif; max-width: 40em; margin: 2em auto; "
    "color: #222; }\n"
    "form { display: grid; gap: .5em; margin-bottom: 2em; }\n"
    "textarea { min-height: 5em; }\n"
    ".note { border-left: 4px solid #4a7; padding: .3em 1em; margin: 1em 0; "
    "white-space: pre-wrap; }\n"
    ".meta { color: #777; font-size: .85em; }\n";

/* Puts a note on the board. */
static void board_add(const struct note* note)
{
    pthread_mutex_lock(&board);
    notes[note_next] = *note;
    note_next = (note_next + 1) % MAX_NOTES;
    if (note_count < MAX_NOTES)
        note_count++;
    pthread_mutex_unlock(&board);
}

/* A worker task: appends its note (an owned copy) to the data file as one line, tabs and line
 * ends in the texts written as \t and \n. */
static void write_note(void* argument)
{
    const struct note* note = argument;
    FILE* f = fopen(data_file, "a");
    const char* texts[2];
    int i;
    if (f == NULL)
        return;
    texts[0] = note->author;
    texts[1] = note->text;
    fprintf(f, "%lld", (long long)note->when);
    for (i = 0; i < 2; i++) {
        const char* p;
        fputc('\t', f);
        for (p = texts[i]; *p != '\0'; p++) {
            if (*p == '\t' || *p == '\n' || *p == '\\')
                fprintf(f, "\\%c", *p == '\t' ? 't' : *p == '\n' ? 'n' : '\\');
            else if (*p != '\r')
                fputc(*p, f);
        }
    }
    fputc('\n', f);
    fclose(f);
}

/* Reads one escaped text up to a tab or the line end into `out`. */
static const char* read_text(const char* p, char* out, size_t size)
{
    size_t used = 0;
    for (; *p != '\0' && *p != '\t' && *p != '\n'; p++) {
        char c = *p;
        if (c == '\\' && p[1] != '\0') {
            p++;
            c = *p == 't' ? '\t' : *p == 'n' ? '\n' : *p;
        }
        if (used + 1 < size)
            out[used++] = c;
    }
    out[used] = '\0';
    return p;
}

/* Puts the notes the data file holds on the board. */
static void load_notes(void)
{
    char line[3 * TEXT_SIZE];
    FILE* f = fopen(data_file, "r");
    if (f == NULL)
        return;
    while (fgets(line, sizeof(line), f) != NULL) {
        struct note note;
        char* p;
        memset(&note, 0, sizeof(note));
        note.when = (time_t)strtoll(line, &p, 10);
        if (*p != '\t')
            continue;
        p = (char*)read_text(p + 1, note.author, sizeof(note.author));
        if (*p != '\t')
            continue;
        read_text(p + 1, note.text, sizeof(note.text));
        board_add(&note);
    }
    fclose(f);
}

/* A worker task that tells the stopping thread the tasks before it have run. */
static void signal_drained(void* event)
{
    quorvel_event_set(event);
}

/* Copies the notes, newest first, so no lock is held while a page is written. */
static int snapshot(struct note* out)
{
    int i, count;
    pthread_mutex_lock(&board);
    count = note_count;
    for (i = 0; i < count; i++)
        out[i] = notes[(note_next - 1 - i + MAX_NOTES) % MAX_NOTES];
    pthread_mutex_unlock(&board);
    return count;
}

/* Cookie values may not hold blanks, ';' or ','; names are kept as %XX escapes there. */
static void cookie_encode(const char* text, char* out, size_t size)
{
    size_t used = 0;
    for (; *text != '\0' && used + 4 < size; text++) {
        unsigned char c = (unsigned char)*text;
        if (isalnum(c) || c == '-' || c == '_' || c == '.')
            out[used++] = (char)c;
        else
            used += (size_t)snprintf(out + used, size - used, "%%%02X", c);
    }
    out[used] = '\0';
}

static void cookie_decode(char* text)
{
    char* out = text;
    for (; *text != '\0'; text++) {
        unsigned int c;
        if (*text == '%' && sscanf(text + 1, "%2x", &c) == 1 && isxdigit((unsigned char)text[1]) &&
            isxdigit((unsigned char)text[2])) {
            *out++ = (char)c;
            text += 2;
        } else {
            *out++ = *text;
        }
    }
    *out = '\0';
}

static char* page_index(envelope* request, envelope* out)
{
    /* From the handler's thread heap, wiped after the connection. */
    struct note* list = quorvel_mem_alloc(MAX_NOTES * sizeof(struct note));
    char author[3 * AUTHOR_SIZE] = "";
    int i, count;

    if (list == NULL)
        return quorvel_make_return_value("out of memory");
    count = snapshot(list);
    if (quorvel_obj_get(request, quorvel_attrib_cookie, "author", author, (int)sizeof(author)) == 0)
        cookie_decode(author);

    quorvel_printf(out, "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"iso-8859-1\">"
                        "<title>Notes</title><link rel=\"stylesheet\" href=\"/style.css\">"
                        "</head><body>\n<h1>Notes</h1>\n"
                        "<form method=\"post\" action=\"/notes\">\n"
                        "<input name=\"author\" placeholder=\"Your name\" value=\"");
    quorvel_uprintf(out, "%s", author);
    quorvel_printf(out, "\">\n<textarea name=\"text\" placeholder=\"Your note\"></textarea>\n"
                        "<button>Add the note</button>\n</form>\n");
    if (count == 0)
        quorvel_printf(out, "<p>No notes yet.</p>\n");
    for (i = 0; i < count; i++) {
        char when[64];
        struct tm utc;
        gmtime_r(&list[i].when, &utc);
        strftime(when, sizeof(when), "%Y-%m-%d %H:%M UTC", &utc);
        quorvel_printf(out, "<div class=\"note\"><div class=\"meta\">");
        quorvel_uprintf(out, "%s, %s", list[i].author, when);
        quorvel_printf(out, "</div>");
        quorvel_uprintf(out, "%s", list[i].text);
        quorvel_printf(out, "</div>\n");
    }
    quorvel_printf(out, "<p><a href=\"/api/notes\">The notes as JSON</a> &middot; "
                        "<a href=\"/about.html\">About</a></p>\n</body></html>\n");
    quorvel_mem_free(list);
    return NULL;
}

static char* add_note(envelope* request, envelope* out)
{
    struct note note;
    char cookie[3 * AUTHOR_SIZE];

    memset(&note, 0, sizeof(note));
    if (quorvel_obj_get(request, quorvel_attrib_post, "author", note.author,
                        (int)sizeof(note.author)) != 0 ||
        note.author[0] == '\0')
        strcpy(note.author, "Anonymous");
    if (quorvel_obj_get(request, quorvel_attrib_post, "text", note.text, (int)sizeof(note.text)) !=
            0 ||
        note.text[0] == '\0') {
        quorvel_printf(out, "<!DOCTYPE html>\n<p>A note needs some text. "
                            "<a href=\"/\">Back to the notes</a></p>\n");
        return NULL;
    }
    note.when = time(NULL);
    board_add(&note);
    /* The file is written by the pool: the page does not wait for the disk. A full queue
     * leaves this note on the board only. */
    if (quorvel_worker_task(writer, write_note, &note, (int)sizeof(note)) != 0)
        fprintf(stderr, "notes_app: the note of %s was not written to %s\n", note.author,
                data_file);

    cookie_encode(note.author, cookie, sizeof(cookie));
    quorvel_obj_set(request, quorvel_attrib_cookie, "author", cookie, NULL, 0,
                    COOKIE_DAYS * 24 * 3600);
    /* HTTP/1.0 has no redirect here: the page sends the browser back to the board. */
    quorvel_printf(out, "<!DOCTYPE html>\n<html><head><meta charset=\"iso-8859-1\">"
                        "<meta http-equiv=\"refresh\" content=\"0; url=/\"><title>Saved</title>"
                        "</head><body><p>Saved. <a href=\"/\">Back to the notes</a></p>"
                        "</body></html>\n");
    return NULL;
}

/* Writes the Latin-1 `text` as a JSON string, in UTF-8. */
static void json_string(envelope* out, const char* text)
{
    quorvel_put(out, "\"", 1);
    for (; *text != '\0'; text++) {
        unsigned char c = (unsigned char)*text;
        if (c == '"' || c == '\\') {
            char escaped[2] = {'\\', (char)c};
            quorvel_put(out, escaped, 2);
        } else if (c < 0x20) {
            char escaped[8];
            int n = snprintf(escaped, sizeof(escaped), "\\u%04x", c);
            quorvel_put(out, escaped, (uint32_t)n);
        } else if (c >= 0x80) {
            char utf8[2] = {(char)(0xC0 | (c >> 6)), (char)(0x80 | (c & 0x3F))};
            quorvel_put(out, utf8, 2);
        } else {
            quorvel_put(out, text, 1);
        }
    }
    quorvel_put(out, "\"", 1);
}

static char* notes_json(envelope* request, envelope* out)
{
    struct note* list = quorvel_mem_alloc(MAX_NOTES * sizeof(struct note));
    int i, count;
    if (list == NULL)
        return quorvel_make_return_value("out of memory");
    count = snapshot(list);
    quorvel_obj_set(request, quorvel_attrib_header, "Content-Type", "application/json");
    quorvel_obj_set(request, quorvel_attrib_cache, 0);
    quorvel_put(out, "[", 1);
    for (i = 0; i < count; i++) {
        quorvel_printf(out, "%s{\"author\": ", i == 0 ? "" : ", ");
        json_string(out, list[i].author);
        quorvel_printf(out, ", \"text\": ");
        json_string(out, list[i].text);
        quorvel_printf(out, ", \"time\": %lld}", (long long)list[i].when);
    }
    quorvel_printf(out, "]\n");
    quorvel_mem_free(list);
    return NULL;
}

static int configure(envelope* server, int port)
{
    return quorvel_obj_set(server, quorvel_attrib_listener_addr, port, "127.0.0.1") != 0 ||
                   quorvel_obj_set(server, quorvel_attrib_uri, QUORVEL_GET, "/index.html",
                                   QUORVEL_ENC_TEXT, page_index) != 0 ||
                   quorvel_obj_set(server, quorvel_attrib_uri, QUORVEL_POST, "/notes",
                                   QUORVEL_ENC_TEXT, add_note) != 0 ||
                   quorvel_obj_set(server, quorvel_attrib_uri, QUORVEL_GET, "/api/notes",
                                   QUORVEL_ENC_TEXT, notes_json) != 0 ||
                   quorvel_obj_set(server, quorvel_attrib_uri_content, QUORVEL_GET, "/style.css",
                                   stylesheet, 0) != 0
               ? -1
               : 0;
}

int main(int argc, char** argv)
{
    const char* root = "examples/notes";
    const char* log_name = "-"; /* standard error */
    const char* data = NULL;
    envelope* drained;
    int port = 8081;
    int i, signal_number = 0;
    sigset_t stop_signals;
    envelope* log;
    envelope* server;

    for (i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--root") == 0)
            root = argv[i + 1];
        else if (strcmp(argv[i], "--port") == 0)
            port = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--log") == 0)
            log_name = argv[i + 1];
        else if (strcmp(argv[i], "--data") == 0)
            data = argv[i + 1];
        else
            break;
    }
    if (i < argc || port < 0 || port >= 65535) {
        fprintf(stderr, "usage: notes_app [--root DIR] [--port N] [--log FILE] [--data FILE]\n");
        return 2;
    }
    if (data != NULL)
        snprintf(data_file, sizeof(data_file), "%s", data);
    else
        snprintf(data_file, sizeof(data_file), "%s/quorvel-notes.txt",
                 getenv("TMPDIR") != NULL ? getenv("TMPDIR") : "/tmp");
    load_notes();

    /* Ctrl-C and SIGTERM are taken by this thread; the library's threads never see them. */
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, NULL);

    log = quorvel_obj_create(quorvel_obj_log, log_name);
    quorvel_init();
    server = quorvel_obj_create(quorvel_obj_server, 4u, root);
    writer = quorvel_obj_create(quorvel_obj_worker, 65536u, 256u);
    drained = quorvel_obj_create(quorvel_obj_event);
    if (log == NULL || server == NULL || writer == NULL || drained == NULL ||
        configure(server, port) != 0 || quorvel_obj_start(server) != 0 ||
        quorvel_obj_get(server, quorvel_attrib_status, 5000) != 0) {
        fprintf(stderr, "notes_app: could not serve %s on port %d: %s\n", root, port,
                strerror(errno));
        return 1;
    }
    printf("notes_app: http://127.0.0.1:%d/ (Ctrl-C to stop), notes kept in %s\n",
           quorvel_obj_get(server, quorvel_attrib_listener_addr, 0), data_file);
    fflush(stdout);
    while (sigwait(&stop_signals, &signal_number) != 0) {
    }
    /* No more notes come once the server is gone; then the pool writes what is queued. */
    quorvel_obj_destroy(server);
    while (quorvel_worker_task(writer, signal_drained, drained, 0) == 2)
        quorvel_event_waittimed(drained, 10); /* the queue is full: a little later */
    quorvel_event_wait(drained);
    quorvel_obj_destroy(writer);
    quorvel_obj_destroy(drained);
    quorvel_obj_destroy(log);
    return 0;
}
