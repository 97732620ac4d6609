#include "inspect/kaspersky.h"

#include <cstdlib>

#include "core/processors.h"
#include "net/socket.h"
#include "util/filebuf.h"

KasperskySection* kaspersky_section = nullptr;

namespace {

enum : std::size_t {
    GLOBAL_ENABLED = 0,
    GLOBAL_TEMPLATE = 1,
    GLOBAL_SOCKET = 2,
    GLOBAL_COUNT = 3,
};

const AntivirusTraits TRAITS = {
    "Kaspersky", "Kaspersky", 200, LOG_ANTIVIRUS, "cached file already checked for viruses",
    "detected %s virus with Kaspersky",
};

// The daemon's protocol carries the file's path in a field of this size, terminator included.
constexpr std::size_t PATH_LIMIT = 64;
constexpr int LINE_MAX_BYTES = 1024;
constexpr std::size_t NAME_MAX_CHARS = 127;

AntivirusVerdict failed_before_dialogue()
{
    putlog(LOG_ANTIVIRUS, "error checking file for viruses");
    return AntivirusVerdict::failed();
}

std::string_view trimmed(std::string_view line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    return line;
}

// The dialogue after the command: reply lines until a verdict. CLEAN and INFECTED are the
// daemon's own verdicts; a dialogue that ends otherwise passes the response unscanned.
AntivirusVerdict replies_read(DaemonLink& link)
{
    std::string name;
    char buffer[LINE_MAX_BYTES];
    for (;;) {
        if (link.line(buffer, sizeof buffer) <= 0)
            return AntivirusVerdict::failed();
        const std::string_view line = trimmed(buffer);
        if (line.empty())
            return AntivirusVerdict::failed();
        char* end = nullptr;
        const long code = std::strtol(buffer, &end, 10);
        switch (code) {
        case 201:
        case 321:
        case 325:
            continue;
        case 322: {
            std::string_view rest = trimmed(end);
            rest.remove_prefix(std::min<std::size_t>(1, rest.size()));
            rest = rest.substr(0, NAME_MAX_CHARS);
            name.assign(rest.substr(0, rest.find_first_of(" \t")));
            continue;
        }
        case 220:
            return AntivirusVerdict::clean();
        case 230:
            return AntivirusVerdict::infected(name);
        default:
            putlog(LOG_WARNING, "unknown response from Kaspersky daemon: %.*s", static_cast<int>(line.size()),
                   line.data());
            return AntivirusVerdict::failed();
        }
    }
}

} // namespace

KasperskySection::KasperskySection() : AntivirusSection("kaspersky", TRAITS)
{
    FATAL_ASSERT(fields_.size() >= GLOBAL_COUNT);
    update();
}

void KasperskySection::update()
{
    rebuild(GLOBAL_ENABLED, GLOBAL_TEMPLATE,
            [this](KasperskySettings& settings) { settings.socket = fields_[GLOBAL_SOCKET].text; });
}

AntivirusVerdict KasperskySection::scan(const Kaspersky&, const KasperskySettings& settings, const Filebuf& body,
                                        const ScanLimits& limits) const
{
    const int fd = antivirus_unix_connect(settings.socket, limits.timeout);
    if (fd < 0) {
        putlog(LOG_ANTIVIRUS, "connection to Kaspersky daemon failed");
        return failed_before_dialogue();
    }
    DaemonLink link(fd, limits.timeout);
    TempFile file(PATH_LIMIT);
    if (!file.ok() || !file.write(body))
        return failed_before_dialogue();
    AntivirusVerdict verdict = AntivirusVerdict::failed();
    if (link.send("SCAN xmQPRSTUWabcdefghi " + file.path() + "\r\n"))
        verdict = replies_read(link);
    link.send("QUIT\r\n");
    if (verdict.kind != AntivirusVerdict::INFECTED)
        putlog(LOG_ANTIVIRUS, "no viruses detected by Kaspersky");
    return verdict;
}

int kaspersky_buffcheck(CONNECTION_T* connection, Filebuf*)
{
    return kaspersky_section->check_match(connection);
}

int kaspersky_respcheck(CONNECTION_T* connection, Filebuf* body)
{
    return kaspersky_section->check_and_block(connection, body);
}
