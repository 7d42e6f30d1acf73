/* quorvel-bubble: writes and lists the registration data of bubbles (plug-ins).
 *
 * A bubble is a shared library whose file name holds ".bbl", with one property record per
 * handler appended behind its bytes. This tool appends them after the library is built, and
 * lists what a file holds. */
#include "quorvel.h"

#include <stdio.h>
#include <string.h>

static void usage(FILE* out)
{
    fprintf(out,
            "usage: quorvel-bubble COMMAND FILE ...\n"
            "Writes and lists the registration data appended to a bubble (a plug-in library).\n"
            "\n"
            "  add-mime FILE FUNCTION EXT TYPE [text|binary]\n"
            "      FUNCTION answers requests for files ending in .EXT, typed TYPE\n"
            "  add-uri FILE FUNCTION get|post URL [text|binary]\n"
            "      FUNCTION answers GET or POST requests for URL (text: text/html,\n"
            "      binary: application/octet-stream)\n"
            "  add-protocol FILE FUNCTION\n"
            "      FUNCTION serves the user-defined protocol of the same name\n"
            "  list FILE\n"
            "      lists the properties of FILE\n"
            "\n"
            "The encoding defaults to text. FUNCTION is a symbol the library exports.\n"
            "Exit status: 0 done, 1 the file was refused or could not be written, 2 usage.\n");
}

/* QUORVEL_ENC_TEXT or QUORVEL_ENC_BINARY for the optional encoding word; -1 for another. */
static int encoding_of(int argc, char** argv, int at)
{
    if (at >= argc || strcmp(argv[at], "text") == 0)
        return QUORVEL_ENC_TEXT;
    if (strcmp(argv[at], "binary") == 0)
        return QUORVEL_ENC_BINARY;
    return -1;
}

static int bad_usage(const char* why)
{
    fprintf(stderr, "quorvel-bubble: %s (see --help)\n", why);
    return 2;
}

int main(int argc, char** argv)
{
    const char* command = argc > 1 ? argv[1] : NULL;
    int encoding;
    if (command == NULL)
        return bad_usage("a command is needed");
    if (strcmp(command, "--help") == 0 || strcmp(command, "-h") == 0) {
        usage(stdout);
        return 0;
    }
    if (strcmp(command, "list") == 0) {
        if (argc != 3)
            return bad_usage("list takes FILE");
        return quorvel_bubble_pinfo(argv[2]) == 0 ? 0 : 1;
    }
    if (strcmp(command, "add-protocol") == 0) {
        if (argc != 4)
            return bad_usage("add-protocol takes FILE FUNCTION");
        return quorvel_bubble_assign_prop(argv[2], QUORVEL_PROP_PROTOCOL, argv[3]) == 0 ? 0 : 1;
    }
    if (strcmp(command, "add-mime") == 0) {
        if (argc != 6 && argc != 7)
            return bad_usage("add-mime takes FILE FUNCTION EXT TYPE [text|binary]");
        if ((encoding = encoding_of(argc, argv, 6)) < 0)
            return bad_usage("the encoding is text or binary");
        return quorvel_bubble_assign_prop(argv[2], QUORVEL_PROP_MIME, argv[3], argv[4], argv[5],
                                          encoding) == 0
                   ? 0
                   : 1;
    }
    if (strcmp(command, "add-uri") == 0) {
        int method;
        if (argc != 6 && argc != 7)
            return bad_usage("add-uri takes FILE FUNCTION get|post URL [text|binary]");
        if (strcmp(argv[4], "get") == 0)
            method = QUORVEL_GET;
        else if (strcmp(argv[4], "post") == 0)
            method = QUORVEL_POST;
        else
            return bad_usage("the method is get or post");
        if ((encoding = encoding_of(argc, argv, 6)) < 0)
            return bad_usage("the encoding is text or binary");
        return quorvel_bubble_assign_prop(argv[2], QUORVEL_PROP_URI | method, argv[3], encoding,
                                          argv[5]) == 0
                   ? 0
                   : 1;
    }
    return bad_usage("unknown command");
}
