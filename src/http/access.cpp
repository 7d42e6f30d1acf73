// Access control from ".htaccess" files. Rules are read afresh for every request; every file
// involved is opened only when it is a regular file (a FIFO would block the handler), and
// anything that cannot be read or searched refuses rather than leaving a directory open.
#include "http/access.h"

#include "core/guard.h"
#include "core/report.h"
#include "core/thread_heap.h"
#include "foundation/base64.h"
#include "foundation/htable.h"
#include "foundation/paths.h"
#include "foundation/strings.h"
#include "foundation/tokenizer.h"
#include "http/password.h"
#include "http/request.h"
#include "http/server.h"
#include "http/status.h"
#include "net/socket.h"
#include "platform/files.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>
#include <sys/stat.h>

namespace quorvel {

namespace {

constexpr char HTACCESS_NAME[] = ".htaccess";
// Shown in a line in place of credentials.
constexpr char HIDDEN_CREDENTIALS[] = "(hidden)";

// Bits gathered while one ".htaccess" is read.
constexpr uint32_t USER_AUTHENTICATED = 0x1;
constexpr uint32_t USER_FILE_SEEN = 0x2;
constexpr uint32_t GROUP_FOUND = 0x4;
constexpr uint32_t GROUP_FILE_SEEN = 0x8;
constexpr uint32_t GROUP_NAMED = 0x10;
constexpr uint32_t VALID_USER_MET = 0x20;
constexpr uint32_t REQUIRE_GROUP_SEEN = 0x40;
constexpr uint32_t REQUIRE_VALID_USER_SEEN = 0x80;
constexpr uint32_t ALLOW_SEEN = 0x100;
constexpr uint32_t ALLOW_MATCHED = 0x200;

enum class rule {
    none, // blank, a comment, or a line the rules ignore (AuthType, AuthName, Order, ...)
    user_file,
    group_file,
    deny,
    allow,
    require_group,
    require_valid_user,
    unsupported, // a requirement or address rule in a form this server does not know
};

// One line of an access file: its rule and the value, NUL-terminated inside the line.
struct rule_line {
    rule kind = rule::none;
    char* value = nullptr;
};

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

template <class C>
C* skip_blanks(C* p)
{
    while (is_blank(*p))
        ++p;
    return p;
}

// The word at `*at` when it is `word` in any case, moving `*at` past it and the blanks after.
template <class C>
bool take_word(C** at, std::string_view word)
{
    C* p = *at;
    for (char c : word) {
        if (std::tolower(static_cast<unsigned char>(*p)) != c)
            return false;
        ++p;
    }
    if (*p != '\0' && !is_blank(*p))
        return false;
    *at = skip_blanks(p);
    return true;
}

// Cuts the blanks after the value at `p`, and the double quotes around a quoted file name.
char* value_at(char* p, bool unquote = false)
{
    size_t length = std::strlen(p);
    while (length > 0 && is_blank(p[length - 1]))
        p[--length] = '\0';
    if (unquote && length >= 2 && p[0] == '"' && p[length - 1] == '"') {
        p[length - 1] = '\0';
        ++p;
    }
    return p;
}

// Reads a line as its author meant it: keywords in any case, and only as the first words
// after leading blanks, so a comment line ('#' first) is ignored like any line without one.
// The byte-order mark some editors put before the first line is passed over.
rule_line parse_rule(char* line)
{
    constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";
    char* p = skip_blanks(
        line + (std::string_view(line).starts_with(byte_order_mark) ? byte_order_mark.size() : 0));
    if (take_word(&p, "authuserfile"))
        return {rule::user_file, value_at(p, true)};
    if (take_word(&p, "authgroupfile"))
        return {rule::group_file, value_at(p, true)};
    if (take_word(&p, "deny"))
        return take_word(&p, "from") ? rule_line{rule::deny, value_at(p)}
                                     : rule_line{rule::unsupported, line};
    if (take_word(&p, "allow"))
        return take_word(&p, "from") ? rule_line{rule::allow, value_at(p)}
                                     : rule_line{rule::unsupported, line};
    if (take_word(&p, "require")) {
        if (take_word(&p, "group"))
            return {rule::require_group, value_at(p)};
        if (take_word(&p, "valid-user") && *p == '\0')
            return {rule::require_valid_user, p};
        return {rule::unsupported, line};
    }
    return {};
}

// Calls `each` with every blank-separated word of `list`.
template <class F>
void for_each_word(std::string_view list, F each)
{
    for (;;) {
        size_t start = list.find_first_not_of(" \t");
        if (start == std::string_view::npos)
            return;
        list.remove_prefix(start);
        size_t end = list.find_first_of(" \t");
        each(list.substr(0, end));
        if (end == std::string_view::npos)
            return;
        list.remove_prefix(end);
    }
}

// The credentials of an Authorization value whose first word is the scheme "Basic" in any
// case; NULL for any other scheme.
const char* basic_credentials(const char* authorization)
{
    const char* p = skip_blanks(authorization);
    return take_word(&p, "basic") && *p != '\0' ? p : nullptr;
}

enum class line_read { line, end, too_long, error };

// Reads one line into `buf` without its line feed and a carriage return before it. A line
// that does not fit is read to its end and reported as too long, so its tail is never taken
// for a line of its own.
line_read read_line(std::FILE* f, char* buf, size_t size)
{
    size_t used = 0;
    bool any = false;
    bool over = false;
    int c = 0;
    while ((c = ::getc_unlocked(f)) != EOF) {
        any = true;
        if (c == '\n')
            break;
        if (used + 1 < size)
            buf[used++] = static_cast<char>(c);
        else
            over = true;
    }
    buf[used] = '\0';
    if (c == EOF && std::ferror(f))
        return line_read::error;
    if (!any)
        return line_read::end;
    if (over)
        return line_read::too_long;
    if (used > 0 && buf[used - 1] == '\r')
        buf[used - 1] = '\0';
    return line_read::line;
}

// True when `s` is `word` (lower case) in any case.
bool same_word(std::string_view s, std::string_view word)
{
    return s.size() == word.size() &&
           std::equal(s.begin(), s.end(), word.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           });
}

// Text an address rule can sensibly hold: hexadecimal digits, dots and colons.
bool address_text(std::string_view s)
{
    for (char c : s) {
        if (!std::isxdigit(static_cast<unsigned char>(c)) && c != '.' && c != ':')
            return false;
    }
    return true;
}

// The IPv4 form of an IPv4-mapped IPv6 address, else the address unchanged.
std::string_view ipv4_form(std::string_view address)
{
    constexpr std::string_view mapped = "::ffff:";
    if (address.size() > mapped.size()) {
        bool same = true;
        for (size_t i = 0; i < mapped.size(); ++i)
            same = same && std::tolower(static_cast<unsigned char>(address[i])) == mapped[i];
        std::string_view rest = address.substr(mapped.size());
        if (same && rest.find('.') != std::string_view::npos &&
            rest.find(':') == std::string_view::npos)
            return rest;
    }
    return address;
}

// Finds the ".htaccess" that governs `path` into `found`: 1 found, 0 none, -1 when the
// search cannot be made (a path too long, a directory that cannot be searched).
int find_htaccess(const char* root, const char* path, int is_dir, char (&found)[PATH_MAX])
{
    char dir[PATH_MAX];
    if (path[0] == '\0')
        return -1;
    if (is_dir) {
        if (::strnlen(path, PATH_MAX) >= PATH_MAX)
            return -1;
        std::memcpy(dir, path, std::strlen(path) + 1);
    } else if (get_directory(path, dir, sizeof(dir)) == nullptr || dir[0] == '\0') {
        return -1;
    }
    filter_path_sep(dir);
    size_t length = std::strlen(dir);
    while (length > 1 && dir[length - 1] == '/')
        dir[--length] = '\0';

    // The walk stops at the root; a path outside it has only its own directory consulted.
    char top[PATH_MAX] = {};
    size_t top_length = 0;
    bool inside = false;
    if (root != nullptr && ::strnlen(root, PATH_MAX) < PATH_MAX) {
        std::memcpy(top, root, std::strlen(root) + 1);
        filter_path_sep(top);
        top_length = std::strlen(top);
        while (top_length > 0 && top[top_length - 1] == '/')
            top[--top_length] = '\0';
        inside = std::strncmp(dir, top, top_length) == 0 &&
                 (dir[top_length] == '/' || dir[top_length] == '\0');
    }
    for (;;) {
        int n = std::snprintf(found, sizeof(found), "%s/%s", dir, HTACCESS_NAME);
        if (n < 0 || static_cast<size_t>(n) >= sizeof(found))
            return -1;
        // lstat: a dangling link still counts as an access file, which then cannot be read.
        struct stat status {};
        if (::lstat(found, &status) == 0)
            return 1;
        if (errno != ENOENT && errno != ENOTDIR)
            return -1;
        length = std::strlen(dir);
        if (!inside || length <= top_length)
            return 0;
        char* slash = std::strrchr(dir, '/');
        if (slash == nullptr)
            return 0;
        *slash = '\0';
        length = static_cast<size_t>(slash - dir);
        while (length > top_length && dir[length - 1] == '/')
            dir[--length] = '\0';
    }
}

// True when an open failed because the process or the system has no descriptor left.
bool out_of_descriptors(int error)
{
    return error == EMFILE || error == ENFILE;
}

// Refuses the request: with the Basic challenge, or as the server's own failure when a file
// the rules need could not be opened for want of descriptors (asking the client for other
// credentials would not help).
int refuse(request_data* request, uint32_t status = STATUS_AUTH_REQUIRED)
{
    request->flags |= REQUEST_FAILED;
    request->status = status;
    return -1;
}

} // namespace

bool http_address_match(std::string_view prefix, const char* client)
{
    if (client == nullptr)
        return false;
    std::string_view rule_text = ipv4_form(prefix);
    if (rule_text.empty() || same_word(rule_text, "all"))
        return true;
    std::string_view address = ipv4_form(client);
    if (address.size() < rule_text.size())
        return false;
    for (size_t i = 0; i < rule_text.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(rule_text[i])) !=
            std::tolower(static_cast<unsigned char>(address[i])))
            return false;
    }
    // The prefix must end at a whole field of the address.
    if (address.size() == rule_text.size())
        return true;
    char last = rule_text.back();
    char next = address[rule_text.size()];
    return last == '.' || last == ':' || next == '.' || next == ':';
}

bool http_group_listed(const char* list, const char* group)
{
    if (list == nullptr || group == nullptr || *group == '\0')
        return false;
    std::string_view wanted = group;
    std::string_view rest = list;
    while (!rest.empty()) {
        size_t start = rest.find_first_not_of(" \t");
        if (start == std::string_view::npos)
            break;
        rest.remove_prefix(start);
        size_t end = rest.find_first_of(" \t");
        if (rest.substr(0, end) == wanted)
            return true;
        if (end == std::string_view::npos)
            break;
        rest.remove_prefix(end);
    }
    return false;
}

namespace {

// http_check_access, telling through `*no_descriptors` whether the password file could not be
// opened for want of descriptors.
int check_password(const char* password_file, const char* credentials, char* user_out,
                   const char* client, int size, bool* no_descriptors)
{
    if (password_file == nullptr || credentials == nullptr || user_out == nullptr ||
        *password_file == '\0' || size < 2)
        return 0;
    clear_errors();
    std::memset(user_out, 0, static_cast<size_t>(size));
    if (client == nullptr)
        client = "";
    char shown[512];
    char shown_client[128];
    log_safe(client, shown_client, sizeof(shown_client));

    file_guard f(open_regular_stream(password_file));
    if (!f) {
        *no_descriptors = out_of_descriptors(errno);
        report("http_check_access", 10513, fault::none,
               "password file \"%s\" could not be opened for reading\n",
               log_safe(password_file, shown, sizeof(shown)));
        return 0;
    }
    // One byte is kept for the terminator; a name or password holding a zero byte is refused
    // because it would compare equal to its shorter prefix.
    int decoded = b64_decode(credentials, reinterpret_cast<unsigned char*>(user_out), size - 1);
    // Credentials that cannot be told apart into a name and a password may be a password
    // alone: the lines never show them.
    if (decoded < 0 || std::memchr(user_out, '\0', static_cast<size_t>(decoded)) != nullptr) {
        std::memset(user_out, 0, static_cast<size_t>(size));
        report("http_check_access", 10524, fault::none,
               "could not decode string \"%s\" from ip:%s\n", HIDDEN_CREDENTIALS, shown_client);
        return 0;
    }
    char* colon = std::strchr(user_out, ':');
    if (colon == nullptr) {
        ::explicit_bzero(user_out, static_cast<size_t>(size));
        report("http_check_access", 10534, fault::none,
               "missing password string from user %s, ip:%s\n", HIDDEN_CREDENTIALS, shown_client);
        return 0;
    }
    *colon = '\0';
    char* password = colon + 1;
    log_safe(user_out, shown, sizeof(shown));

    // No verdict: the user is not listed.
    std::optional<password_match> verdict;
    char line[PASSWORD_LINE_SIZE];
    for (;;) {
        line_read got = read_line(f.get(), line, sizeof(line));
        if (got == line_read::end || got == line_read::error)
            break;
        if (got == line_read::too_long)
            continue;
        char* separator = std::strchr(line, ':');
        if (separator == nullptr)
            continue;
        *separator = '\0';
        if (std::strcmp(line, user_out) == 0) {
            verdict = password_verify(separator + 1, password);
            break;
        }
    }
    ::explicit_bzero(line, sizeof(line));
    ::explicit_bzero(password, std::strlen(password));
    if (verdict == password_match::yes) {
        debug("http_check_access", 10558, "user %s ip:%s connected\n", shown, shown_client);
        return 1;
    }
    if (verdict == password_match::no) {
        report("http_check_access", 10566, fault::none, "invalid password for %s ip:%s entered\n",
               shown, shown_client);
    } else if (verdict == password_match::unsupported) {
        char shown_file[512];
        report("http_check_access", 10570, fault::none,
               "unsupported password hash for user %s in \"%s\"\n", shown,
               log_safe(password_file, shown_file, sizeof(shown_file)));
    } else {
        report("http_check_access", 10575, fault::none,
               "unknown user %s attempted to login from ip:%s\n", shown, shown_client);
    }
    return 0;
}

// http_get_group, telling through `*no_descriptors` whether the group file could not be
// opened for want of descriptors.
int find_group(const char* group_file, const char* user, char* group_out, int size,
               bool* no_descriptors)
{
    if (group_file == nullptr || user == nullptr || group_out == nullptr || size < 2)
        return 0;
    clear_errors();
    std::memset(group_out, 0, static_cast<size_t>(size));
    char shown[512];
    file_guard f(open_regular_stream(group_file));
    if (!f) {
        *no_descriptors = out_of_descriptors(errno);
        report("http_get_group", 10449, fault::none,
               "group file %s could not be opened for reading\n",
               log_safe(group_file, shown, sizeof(shown)));
        return 0;
    }
    char line[GROUP_LINE_SIZE];
    for (;;) {
        line_read got = read_line(f.get(), line, sizeof(line));
        if (got == line_read::end || got == line_read::error)
            break;
        if (got == line_read::too_long || *user == '\0' || std::strstr(line, user) == nullptr)
            continue;
        char* colon = std::strchr(line, ':');
        if (colon == nullptr)
            continue;
        auto name_length = static_cast<size_t>(colon - line);
        // A cut group name could name another group: such a line is passed over.
        if (name_length == 0 || name_length >= static_cast<size_t>(size))
            continue;
        tok* members = tok_create(colon + 1, " ,;:");
        if (members == nullptr) {
            report("http_get_group", 10466, fault::no_memory,
                   "insufficient memory to perform operation\n");
            return 0;
        }
        bool member = false;
        for (char* m = tok_next(members); m != nullptr && !member; m = tok_next(members))
            member = std::strcmp(m, user) == 0;
        tok_destroy(&members);
        if (member) {
            std::memcpy(group_out, line, name_length);
            return 1;
        }
    }
    debug("http_get_group", 10487, "%s does not belong to a group\n",
          log_safe(user, shown, sizeof(shown)));
    return 0;
}

} // namespace

int http_check_access(const char* password_file, const char* credentials, char* user_out,
                      const char* client, int size)
{
    bool no_descriptors = false;
    return check_password(password_file, credentials, user_out, client, size, &no_descriptors);
}

int http_get_group(const char* group_file, const char* user, char* group_out, int size)
{
    bool no_descriptors = false;
    return find_group(group_file, user, group_out, size, &no_descriptors);
}

int http_check_htaccess(request_data* request, const char* path, int is_dir)
{
    clear_errors();
    if (request == nullptr)
        return -1;
    if (path == nullptr)
        return refuse(request);
    const char* root = request->server != nullptr ? request->server->root : nullptr;
    char governing[PATH_MAX];
    int found = find_htaccess(root, path, is_dir, governing);
    if (found < 0)
        return refuse(request);
    if (found == 0)
        return 0;

    // Credentials are demanded whenever a ".htaccess" governs, whatever its rules.
    char authorization[HTACCESS_USER_SIZE] = {};
    if (request->headers == nullptr ||
        htable_getcopy(request->headers, "AUTHORIZATION", 13, authorization,
                       sizeof(authorization) - 1) != 0)
        return refuse(request);
    const char* credentials = basic_credentials(authorization);
    if (credentials == nullptr)
        return refuse(request);

    file_guard f(open_regular_stream(governing));
    if (!f)
        return refuse(request, out_of_descriptors(errno) ? STATUS_INTERNAL : STATUS_AUTH_REQUIRED);
    const char* client = request->sock != nullptr ? request->sock->peer : "";
    uint32_t state = 0;
    bool no_descriptors = false;
    char user[HTACCESS_USER_SIZE] = {};
    char group[HTACCESS_GROUP_SIZE] = {};
    char line[HTACCESS_LINE_SIZE];
    for (;;) {
        line_read got = read_line(f.get(), line, sizeof(line));
        if (got == line_read::end)
            break;
        // A rule that cannot be read whole might be one that refuses.
        if (got != line_read::line)
            return refuse(request);
        auto [kind, value] = parse_rule(line);
        switch (kind) {
        case rule::none:
            break;
        case rule::user_file: {
            if (state & USER_FILE_SEEN)
                break;
            state |= USER_FILE_SEEN;
            int matched =
                check_password(value, credentials, user, client, sizeof(user), &no_descriptors);
            if (no_descriptors)
                return refuse(request, STATUS_INTERNAL);
            if (matched == 1)
                state |= USER_AUTHENTICATED;
            break;
        }
        case rule::group_file:
            if (state & GROUP_FILE_SEEN)
                break;
            if (!(state & USER_FILE_SEEN))
                return refuse(request);
            state |= GROUP_FILE_SEEN;
            if ((state & USER_AUTHENTICATED) &&
                find_group(value, user, group, sizeof(group), &no_descriptors) == 1)
                state |= GROUP_FOUND;
            if (no_descriptors)
                return refuse(request, STATUS_INTERNAL);
            break;
        case rule::deny: {
            // "all", an empty list and text that is no address prefix (a host name, a network
            // with a mask) refuse everyone: a deny rule that silently never matched would
            // leave the directory open.
            bool refused = *value == '\0';
            for_each_word(value, [&](std::string_view prefix) {
                refused = refused || !address_text(prefix) || http_address_match(prefix, client);
            });
            if (refused)
                return refuse(request);
            break;
        }
        case rule::allow:
            state |= ALLOW_SEEN;
            for_each_word(value, [&](std::string_view prefix) {
                if ((same_word(prefix, "all") || address_text(prefix)) &&
                    http_address_match(prefix, client))
                    state |= ALLOW_MATCHED;
            });
            break;
        case rule::require_group:
            state |= REQUIRE_GROUP_SEEN;
            if (!(state & GROUP_FOUND))
                return refuse(request);
            if (http_group_listed(value, group))
                state |= GROUP_NAMED;
            break;
        case rule::require_valid_user:
            state |= REQUIRE_VALID_USER_SEEN;
            if (state & USER_AUTHENTICATED)
                state |= VALID_USER_MET;
            break;
        case rule::unsupported: {
            // Its author meant to restrict something: skipping the line could open the
            // directory, so it refuses until the file is mended.
            char shown_line[256];
            char shown_file[PATH_MAX];
            report("http_check_htaccess", 10410, fault::none, "unsupported rule \"%s\" in %s\n",
                   log_safe(skip_blanks(line), shown_line, sizeof(shown_line)),
                   log_safe(governing, shown_file, sizeof(shown_file)));
            return refuse(request);
        }
        }
    }
    if ((state & REQUIRE_VALID_USER_SEEN) && !(state & VALID_USER_MET))
        return refuse(request);
    if ((state & REQUIRE_GROUP_SEEN) && !(state & GROUP_NAMED))
        return refuse(request);
    if ((state & ALLOW_SEEN) && !(state & ALLOW_MATCHED))
        return refuse(request);
    // The access log names the user the rules admitted.
    if ((state & USER_AUTHENTICATED) && request->server != nullptr &&
        request->server->access_log.on) {
        mem_free(request->user);
        request->user = str_dup(user);
    }
    return 0;
}

} // namespace quorvel
