#include "maildir/Names.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>

namespace kelvra_provider::maildir {

// Name fields that change with content, not identity: a save's revision,
// and the sizes some delivery agents note in the name.
bool IsVolatileField(std::string_view field)
{
    return field.size() >= 2 && field[1] == '=' && (field[0] == 'R' || field[0] == 'S' || field[0] == 'W');
}

// The identifier of a file name: the name without ":2,<flags>" and without
// its volatile fields.
std::string IdOfName(std::string_view name)
{
    const std::string_view base = name.substr(0, name.find(':'));
    std::string id;
    size_t start = 0;
    for (bool first = true; start <= base.size(); first = false) {
        size_t comma = base.find(',', start);
        if (comma == std::string_view::npos)
            comma = base.size();
        const std::string_view field = base.substr(start, comma - start);
        if (first || !IsVolatileField(field)) {
            if (!first)
                id += ',';
            id += field;
        }
        start = comma + 1;
    }
    return id;
}

unsigned RevisionOf(std::string_view name)
{
    const std::string_view base = name.substr(0, name.find(':'));
    const size_t field = base.find(",R=");
    if (field == std::string_view::npos)
        return 0;
    unsigned revision = 0;
    for (size_t i = field + 3; i < base.size() && base[i] >= '0' && base[i] <= '9'; ++i)
        revision = revision * 10 + static_cast<unsigned>(base[i] - '0');
    return revision;
}

std::string FlagsOf(const std::string &name)
{
    const size_t info = name.find(":2,");
    return info == std::string::npos ? std::string() : name.substr(info + 3);
}

std::string FileName(const std::string &path) { return path.substr(path.rfind('/') + 1); }
std::string FolderOf(const std::string &path) { return path.substr(0, path.rfind('/')); }

std::string HostName()
{
    char host[HOST_NAME_MAX + 1] = {};
    if (gethostname(host, sizeof host - 1) != 0)
        return "localhost";
    std::string out;
    for (const char *p = host; *p != '\0'; ++p) {
        if (*p == '/')
            out += "\\057";
        else if (*p == ':')
            out += "\\072";
        else if (*p == ',')
            out += "\\054";
        else
            out += *p;
    }
    return out;
}

// A name no other delivery on this host uses: seconds, microseconds,
// process and a per-process counter, then the host.
std::string UniqueName()
{
    static std::atomic<unsigned> counter{0};
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto usec = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    // Microseconds zero-padded, so that names sort in the order they were made.
    char micro[8];
    std::snprintf(micro, sizeof micro, "%06lld", static_cast<long long>(usec % 1000000));
    return std::to_string(usec / 1000000) + ".M" + micro + "P" + std::to_string(getpid()) + "Q" +
           std::to_string(++counter) + "." + HostName();
}

// The process that made a temporary file of our own naming on this host,
// or 0 when the name is not ours.
pid_t WriterOf(const std::string &name)
{
    const size_t m = name.find(".M"), p = name.find('P', m == std::string::npos ? 0 : m),
                 q = name.find('Q', p == std::string::npos ? 0 : p);
    if (m == std::string::npos || p == std::string::npos || q == std::string::npos || p + 1 >= q)
        return 0;
    const size_t dot = name.find('.', q);
    if (dot == std::string::npos || name.substr(dot + 1) != HostName())
        return 0;
    long pid = 0;
    for (size_t i = p + 1; i < q; ++i) {
        if (name[i] < '0' || name[i] > '9' || pid > 10000000)
            return 0;
        pid = pid * 10 + (name[i] - '0');
    }
    return static_cast<pid_t>(pid);
}

std::int64_t SecondsOf(std::string_view id)
{
    std::int64_t seconds = 0;
    for (char c : id) {
        if (c < '0' || c > '9' || seconds > (INT64_MAX - 9) / 10)
            break;
        seconds = seconds * 10 + (c - '0');
    }
    return seconds;
}

bool SeenIn(bool cur, std::string_view name)
{
    const size_t info = name.find(":2,");
    return cur && info != std::string_view::npos && name.find('S', info + 3) != std::string_view::npos;
}

} // namespace kelvra_provider::maildir
