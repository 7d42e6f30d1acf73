/* hello_bubble: a small plug-in. It answers GET /bubble/hello with a page, and serves the
 * user-defined protocol "upper": each frame a client sends comes back upper-cased. Built by
 * quorvel_add_bubble (examples/bubbles/CMakeLists.txt), which appends its registration. */
#include "quorvel.h"

#include <ctype.h>
#include <stddef.h>

char* hello_page(envelope* request, envelope* out)
{
    char name[64] = "";
    quorvel_obj_get(request, quorvel_attrib_header, "QUERY", name, (int)sizeof(name));
    quorvel_printf(out, "<!DOCTYPE html>\n<p>Hello from a bubble, ");
    quorvel_uprintf(out, "%s", name[0] != '\0' ? name : "stranger");
    quorvel_printf(out, "!</p>\n");
    return NULL;
}

int upper(envelope* stream)
{
    uint32_t length = 0;
    char* text;
    while ((text = quorvel_getf(stream, &length)) != NULL) {
        uint32_t i;
        int sent;
        for (i = 0; i < length; i++)
            text[i] = (char)toupper((unsigned char)text[i]);
        sent = quorvel_putf(stream, text, length);
        quorvel_mem_free(text);
        if (sent < 0)
            return 1;
    }
    return 0;
}
