/* markdown_bubble: a plug-in that answers requests for .md files with the Markdown rendered as
 * an HTML page, through the md4c library. Load it with `quorvel-serve --bubbles DIR`. */
#define _POSIX_C_SOURCE 200809L

#include "quorvel.h"

#include <md4c-html.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The largest file rendered; a larger one is answered with an error page. */
#define MARKDOWN_MAX (4 * 1024 * 1024)

static void put_html(const MD_CHAR* text, MD_SIZE size, void* out)
{
    quorvel_put((envelope*)out, text, size);
}

/* Writes `text` with &, < and > as entities. */
static void put_escaped(envelope* out, const char* text)
{
    for (; *text != '\0'; text++) {
        const char* entity = *text == '&'   ? "&amp;"
                             : *text == '<' ? "&lt;"
                             : *text == '>' ? "&gt;"
                                            : NULL;
        if (entity != NULL)
            quorvel_put(out, entity, (uint32_t)strlen(entity));
        else
            quorvel_put(out, text, 1);
    }
}

/* Reads the whole file at `path` into a block of the general allocator; its size in *size. */
static char* read_file(const char* path, size_t* size)
{
    FILE* f = fopen(path, "rb");
    char* text = NULL;
    long length;
    if (f == NULL)
        return NULL;
    if (fseek(f, 0, SEEK_END) == 0 && (length = ftell(f)) >= 0 && length <= MARKDOWN_MAX &&
        fseek(f, 0, SEEK_SET) == 0 && (text = malloc((size_t)length + 1)) != NULL &&
        fread(text, 1, (size_t)length, f) == (size_t)length) {
        *size = (size_t)length;
    } else {
        free(text);
        text = NULL;
    }
    fclose(f);
    return text;
}

/* `target` is the local path of the requested .md file. */
char* render_markdown(envelope* request, envelope* out, const char* target)
{
    size_t size = 0;
    char title[256] = "";
    char* text = read_file(target, &size);
    (void)request;
    if (text == NULL)
        return quorvel_make_return_value("the Markdown file cannot be read");
    /* The first line, without its heading marks, names the page. */
    sscanf(text, "%*[# ]%255[^\n]", title);
    quorvel_printf(out, "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>");
    put_escaped(out, title);
    quorvel_printf(out, "</title><link rel=\"stylesheet\" href=\"/style.css\"></head><body>\n");
    if (md_html(text, (MD_SIZE)size, put_html, out, MD_DIALECT_GITHUB, 0) != 0) {
        free(text);
        return quorvel_make_return_value("the Markdown file cannot be rendered");
    }
    free(text);
    quorvel_put(out, "</body></html>\n", 15);
    return NULL;
}
