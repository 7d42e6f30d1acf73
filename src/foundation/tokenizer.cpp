// The tokenizer splits a private copy of its input once, overwriting every delimiter with
// NUL; tok_next then only walks the copy, skipping the empty strings left between delimiters.
#include "foundation/tokenizer.h"

#include "core/report.h"
#include "core/thread_heap.h"
#include "foundation/strings.h"
#include "quorvel.h"

#include <cstring>

namespace quorvel {

tok* tok_create(const char* s, const char* delimiters)
{
    clear_errors();
    if (s == nullptr || delimiters == nullptr) {
        report("tok_create", 3459, fault::bad_arg, "null argument passed\n");
        return nullptr;
    }
    auto* t = static_cast<tok*>(mem_zalloc(sizeof(tok)));
    if (t == nullptr) {
        report("tok_create", 3470, fault::no_memory, "insufficient memory to perform operation\n");
        return nullptr;
    }
    t->text = str_dup(s);
    if (t->text == nullptr) {
        mem_free(t);
        return nullptr;
    }
    t->tag = TOK_TAG;
    t->cursor = t->text;
    // str_dup refuses strings whose length does not fit 32 bits.
    t->length = static_cast<uint32_t>(std::strlen(t->text));

    bool is_delimiter[256] = {};
    for (const unsigned char* d = reinterpret_cast<const unsigned char*>(delimiters); *d != 0; ++d)
        is_delimiter[*d] = true;
    for (uint32_t i = 0; i < t->length; ++i) {
        if (is_delimiter[static_cast<unsigned char>(t->text[i])])
            t->text[i] = '\0';
    }
    return t;
}

char* tok_next(tok* t)
{
    clear_errors();
    if (t == nullptr) {
        report("tok_next", 3540, fault::bad_arg, "null argument passed\n");
        return nullptr;
    }
    if (t->tag != TOK_TAG) {
        set_fault(fault::bad_arg);
        return nullptr;
    }
    if (t->cursor == nullptr)
        return nullptr;
    const char* end = t->text + t->length;
    char* candidate = t->cursor;
    while (candidate < end && *candidate == '\0')
        ++candidate;
    if (candidate >= end) {
        t->cursor = nullptr;
        return nullptr;
    }
    // The cursor moves before the token is handed out, so the caller may change the token.
    char* next = candidate + std::strlen(candidate) + 1;
    t->cursor = next < end ? next : nullptr;
    return candidate;
}

void tok_destroy(tok** t)
{
    if (t == nullptr || *t == nullptr || (*t)->tag != TOK_TAG)
        return;
    mem_free((*t)->text);
    (*t)->tag = 0;
    mem_free(*t);
    *t = nullptr;
}

void mark_unquoted_spaces(char* s)
{
    if (s == nullptr)
        return;
    bool quoted = false;
    for (char* p = s; *p != '\0'; ++p) {
        if (*p == '"' || *p == '\'')
            quoted = !quoted;
        else if (!quoted && (*p == ' ' || *p == '\t'))
            *p = '^';
    }
}

} // namespace quorvel
