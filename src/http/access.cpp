// Access control from ".htaccess" files. Rules are read afresh for every request; every file
// involved is opened only when it is a regular file (a FIFO would block the handler), and
// anything that cannot be read or searched refuses rather than leaving a directory open.
#include "http/access.h"

#include "core/report.h"
#include "foundation/htable.h"
#include "foundation/paths.h"
#include "foundation/tokenizer.h"
#include "http/request.h"
#include "http/server.h"
#include "net/socket.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvel {

namespace {

constexpr char HTACCESS_NAME[] = ".htaccess";

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

enum class rule { user_file, group_file, deny, allow, require_group, require_valid_user };

struct keyword {
    std::string_view text;
    rule kind;
};

// Looked for in this order; the first one a line contains decides what the line is.
constexpr keyword keywords[] = {
    {"AuthUserFile ", rule::user_file},
    {"AuthGroupFile ", rule::group_file},
    {"deny from ", rule::deny},
    {"allow from ", rule::allow},
    {"require group ", rule::require_group},
    {"require valid-user", rule::require_valid_user},
};
static_assert(std::size(keywords) == 6);

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

// Opens a regular file for reading; NULL with errno set for anything else.
std::FILE* open_text(const char* path)
{
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        int saved = errno != 0 ? errno : (S_ISDIR(status.st_mode) ? EISDIR : EACCES);
        ::close(fd);
        errno = saved;
        return nullptr;
    }
    std::FILE* f = ::fdopen(fd, "r");
    if (f == nullptr) {
        int saved = errno;
        ::close(fd);
        errno = saved;
    }
    return f;
}

std::string_view trim_blanks(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
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

int refuse(request_data* request, std::FILE* f)
{
    if (f != nullptr)
        std::fclose(f);
    request->flags |= REQUEST_FAILED;
    request->status = STATUS_AUTH_REQUIRED;
    return -1;
}

} // namespace

bool http_address_match(const char* prefix, const char* client)
{
    if (prefix == nullptr || client == nullptr)
        return false;
    std::string_view rule_text = ipv4_form(prefix);
    if (rule_text.empty() || rule_text == "all")
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

int b64_decode(const char* text, unsigned char* out, int size)
{
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text == nullptr || out == nullptr || size < 0)
        return -1;
    const auto limit = static_cast<size_t>(size);
    size_t at = 0;
    int state = 0;
    const char* p = text;
    char c = 0;
    while ((c = *p++) != '\0') {
        if (std::isspace(static_cast<unsigned char>(c)))
            continue;
        if (c == '=')
            break;
        const char* found = std::strchr(alphabet, c);
        if (found == nullptr)
            return -1;
        auto value = static_cast<unsigned char>(found - alphabet);
        switch (state) {
        case 0:
            if (at >= limit)
                return -1;
            out[at] = static_cast<unsigned char>(value << 2);
            state = 1;
            break;
        case 1:
            if (at + 1 >= limit)
                return -1;
            out[at] |= static_cast<unsigned char>(value >> 4);
            out[at + 1] = static_cast<unsigned char>((value & 0x0F) << 4);
            ++at;
            state = 2;
            break;
        case 2:
            if (at + 1 >= limit)
                return -1;
            out[at] |= static_cast<unsigned char>(value >> 2);
            out[at + 1] = static_cast<unsigned char>((value & 0x03) << 6);
            ++at;
            state = 3;
            break;
        default:
            if (at >= limit)
                return -1;
            out[at] |= value;
            ++at;
            state = 0;
            break;
        }
    }
    if (c != '=')
        return state == 0 ? static_cast<int>(at) : -1;

    // Padding: two characters of a quantum take "==", three take "=", then only white space.
    if (state < 2)
        return -1;
    c = *p++;
    if (state == 2) {
        while (c != '\0' && std::isspace(static_cast<unsigned char>(c)))
            c = *p++;
        if (c != '=')
            return -1;
        c = *p++;
    }
    while (c != '\0') {
        if (!std::isspace(static_cast<unsigned char>(c)))
            return -1;
        c = *p++;
    }
    // The bits after the last whole byte carry no data and must be zero.
    if (out[at] != 0)
        return -1;
    return static_cast<int>(at);
}

int http_check_access(const char* password_file, const char* credentials, char* user_out,
                      const char* client, int size)
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

    std::FILE* f = open_text(password_file);
    if (f == nullptr) {
        report("http_check_access", 10513, fault::none,
               "password file \"%s\" could not be opened for reading\n",
               log_safe(password_file, shown, sizeof(shown)));
        return 0;
    }
    // One byte is kept for the terminator; a name or password holding a zero byte is refused
    // because it would compare equal to its shorter prefix.
    int decoded = b64_decode(credentials, reinterpret_cast<unsigned char*>(user_out), size - 1);
    if (decoded < 0 || std::memchr(user_out, '\0', static_cast<size_t>(decoded)) != nullptr) {
        std::fclose(f);
        std::memset(user_out, 0, static_cast<size_t>(size));
        report("http_check_access", 10524, fault::none,
               "could not decode string \"%s\" from ip:%s\n",
               log_safe(credentials, shown, sizeof(shown)), shown_client);
        return 0;
    }
    char* colon = std::strchr(user_out, ':');
    if (colon == nullptr) {
        std::fclose(f);
        report("http_check_access", 10534, fault::none,
               "missing password string from user %s, ip:%s\n",
               log_safe(user_out, shown, sizeof(shown)), shown_client);
        return 0;
    }
    *colon = '\0';
    char* password = colon + 1;
    log_safe(user_out, shown, sizeof(shown));

    int result = -1;
    char line[PASSWORD_LINE_SIZE];
    for (;;) {
        line_read got = read_line(f, line, sizeof(line));
        if (got == line_read::end || got == line_read::error)
            break;
        if (got == line_read::too_long)
            continue;
        char* separator = std::strchr(line, ':');
        if (separator == nullptr)
            continue;
        *separator = '\0';
        if (std::strcmp(line, user_out) == 0) {
            result = std::strcmp(separator + 1, password) == 0 ? 1 : 0;
            break;
        }
    }
    std::fclose(f);
    std::memset(line, 0, sizeof(line));
    std::memset(password, 0, std::strlen(password));
    if (result == 1) {
        debug("http_check_access", 10558, "user %s ip:%s connected\n", shown, shown_client);
        return 1;
    }
    if (result == 0)
        report("http_check_access", 10566, fault::none, "invalid password for %s ip:%s entered\n",
               shown, shown_client);
    else
        report("http_check_access", 10575, fault::none,
               "unknown user %s attempted to login from ip:%s\n", shown, shown_client);
    return 0;
}

int http_get_group(const char* group_file, const char* user, char* group_out, int size)
{
    if (group_file == nullptr || user == nullptr || group_out == nullptr || size < 2)
        return 0;
    clear_errors();
    std::memset(group_out, 0, static_cast<size_t>(size));
    char shown[512];
    std::FILE* f = open_text(group_file);
    if (f == nullptr) {
        report("http_get_group", 10449, fault::none,
               "group file %s could not be opened for reading\n",
               log_safe(group_file, shown, sizeof(shown)));
        return 0;
    }
    char line[GROUP_LINE_SIZE];
    for (;;) {
        line_read got = read_line(f, line, sizeof(line));
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
            std::fclose(f);
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
            std::fclose(f);
            return 1;
        }
    }
    std::fclose(f);
    debug("http_get_group", 10487, "%s does not belong to a group\n",
          log_safe(user, shown, sizeof(shown)));
    return 0;
}

int http_check_htaccess(request_data* request, const char* path, int is_dir)
{
    clear_errors();
    if (request == nullptr)
        return -1;
    if (path == nullptr)
        return refuse(request, nullptr);
    const char* root = request->server != nullptr ? request->server->root : nullptr;
    char governing[PATH_MAX];
    int found = find_htaccess(root, path, is_dir, governing);
    if (found < 0)
        return refuse(request, nullptr);
    if (found == 0)
        return 0;

    // Credentials are demanded whenever a ".htaccess" governs, whatever its rules.
    char authorization[HTACCESS_USER_SIZE] = {};
    if (request->headers == nullptr ||
        htable_getcopy(request->headers, "AUTHORIZATION", 13, authorization,
                       sizeof(authorization) - 1) != 0)
        return refuse(request, nullptr);
    const char* basic = std::strstr(authorization, "Basic ");
    if (basic == nullptr)
        return refuse(request, nullptr);
    const char* credentials = basic + 6;

    std::FILE* f = open_text(governing);
    if (f == nullptr)
        return refuse(request, nullptr);
    const char* client = request->sock != nullptr ? request->sock->peer : "";
    uint32_t state = 0;
    char user[HTACCESS_USER_SIZE] = {};
    char group[HTACCESS_GROUP_SIZE] = {};
    char line[HTACCESS_LINE_SIZE];
    for (;;) {
        line_read got = read_line(f, line, sizeof(line));
        if (got == line_read::end)
            break;
        // A rule that cannot be read whole might be one that refuses.
        if (got != line_read::line)
            return refuse(request, f);
        if (line[0] == '\0')
            continue;
        const keyword* match = nullptr;
        const char* value = nullptr;
        for (const keyword& k : keywords) {
            const char* at = std::strstr(line, k.text.data());
            if (at != nullptr) {
                match = &k;
                value = at + k.text.size();
                break;
            }
        }
        if (match == nullptr)
            continue;
        switch (match->kind) {
        case rule::user_file:
            if (state & USER_FILE_SEEN)
                break;
            state |= USER_FILE_SEEN;
            if (http_check_access(value, credentials, user, client, sizeof(user)) == 1)
                state |= USER_AUTHENTICATED;
            break;
        case rule::group_file:
            if (state & GROUP_FILE_SEEN)
                break;
            if (!(state & USER_FILE_SEEN))
                return refuse(request, f);
            state |= GROUP_FILE_SEEN;
            if ((state & USER_AUTHENTICATED) &&
                http_get_group(value, user, group, sizeof(group)) == 1)
                state |= GROUP_FOUND;
            break;
        case rule::deny: {
            // Text that is no address prefix ("all", a host name) refuses too: a deny rule
            // that silently never matched would leave the directory open.
            std::string_view prefix = trim_blanks(value);
            char text[HTACCESS_LINE_SIZE];
            std::snprintf(text, sizeof(text), "%.*s", static_cast<int>(prefix.size()),
                          prefix.data());
            if (prefix.empty() || !address_text(prefix) || http_address_match(text, client))
                return refuse(request, f);
            break;
        }
        case rule::allow: {
            state |= ALLOW_SEEN;
            std::string_view prefix = trim_blanks(value);
            char text[HTACCESS_LINE_SIZE];
            std::snprintf(text, sizeof(text), "%.*s", static_cast<int>(prefix.size()),
                          prefix.data());
            if (!prefix.empty() && (prefix == "all" || address_text(prefix)) &&
                http_address_match(text, client))
                state |= ALLOW_MATCHED;
            break;
        }
        case rule::require_group:
            state |= REQUIRE_GROUP_SEEN;
            if (!(state & GROUP_FOUND))
                return refuse(request, f);
            if (http_group_listed(value, group))
                state |= GROUP_NAMED;
            break;
        case rule::require_valid_user:
            state |= REQUIRE_VALID_USER_SEEN;
            if (state & USER_AUTHENTICATED)
                state |= VALID_USER_MET;
            break;
        }
    }
    std::fclose(f);
    if ((state & REQUIRE_VALID_USER_SEEN) && !(state & VALID_USER_MET))
        return refuse(request, nullptr);
    if ((state & REQUIRE_GROUP_SEEN) && !(state & GROUP_NAMED))
        return refuse(request, nullptr);
    if ((state & ALLOW_SEEN) && !(state & ALLOW_MATCHED))
        return refuse(request, nullptr);
    return 0;
}

} // namespace quorvel
