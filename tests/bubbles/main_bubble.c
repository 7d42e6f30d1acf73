/* A test plug-in with an entry point: bubble_main answers as QUORVEL_TEST_MAIN says ("1":
 * true, anything else: false) and maps /main itself before it answers. */
#include "quorvel.h"

#include <stdlib.h>
#include <string.h>

char* main_page(envelope* request, envelope* out)
{
    (void)request;
    quorvel_printf(out, "from bubble_main");
    return NULL;
}

char* listed_page(envelope* request, envelope* out)
{
    (void)request;
    quorvel_printf(out, "from the registration");
    return NULL;
}

char bubble_main(envelope* server)
{
    const char* answer = getenv("QUORVEL_TEST_MAIN");
    quorvel_obj_set(server, quorvel_attrib_uri, QUORVEL_GET, "/main", QUORVEL_ENC_TEXT, main_page);
    return answer != NULL && strcmp(answer, "1") == 0;
}
