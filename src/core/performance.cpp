#include "core/performance.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "core/options.h"
#include "core/threads.h"
#include "util/descriptor.h"

namespace {

// Its destructor is trivial, so threads still running at exit may go on feeding it.
PerformanceLog object;

long system_page_size()
{
    const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? size : 4096;
}

// Pages × page size in KB, in 64-bit arithmetic so that more than 4 GiB is shown whole.
std::uint64_t pages_in_kb(long pages)
{
    if (pages <= 0)
        return 0;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pagesize) / 1024u;
}

// A line never exceeds this (the newline included).
constexpr std::size_t LINE_MAX_BYTES = 1024;

void write_whole(int fd, const std::string& text)
{
    const char* data = text.data();
    std::size_t length = text.size();
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        data += written;
        length -= static_cast<std::size_t>(written);
    }
}

}  // namespace

const long pagesize = system_page_size();
const std::uint64_t val_total_system_memory = pages_in_kb(sysconf(_SC_PHYS_PAGES));
const std::string performance_legend =
    "Time Stamp (YYYYMMDDhhmmss),Elapsed Time,Client Connections Handled,Client Connections Closed,"
    "Client Transactions Handled,Client Connections in Pool,Spare Client Threads,Client Threads in Use,"
    "Client Threads in Waiting,Threads Starting up,Threads Reserved for Prefetching,Threading Errors,"
    "Outbound Connections created,Outbound Connections Failed,Outbound Connection Pool Reused,"
    "Outbound Connections in Pool,Bytes in (KBytes),Bytes Out (KBytes),Caching Objects Created in Memory,"
    "Caching Objects Removed from Memory,DNS Queries Reused,New DNS Queries,DNS Query failures,"
    "Total System Memory (KBytes),Free System Memory (KBytes),Tarvodine Virtual Memory (KBytes),"
    "Tarvodine Resident Memory (KBytes),Tarvodine Shared Memory (KBytes),Tarvodine Code Memory (KBytes),"
    "Tarvodine Data Memory (KBytes),Tarvodine Library Memory (KBytes)\n";
int plogfd = -1;
const int performance_log_write_invl = 2;

// The address of a static object: set before any dynamic initialisation runs.
PerformanceLog* const performance_log = &object;

PerformanceLog::PerformanceLog()
{
    gettimeofday(&start_time_, nullptr);
}

bool PerformanceLog::read_memory_usage(statm_t* statm)
{
    *statm = statm_t{};
    std::FILE* file = std::fopen("/proc/self/statm", "r");
    if (file == nullptr)
        return false;
    char line[1024];
    const bool read = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    if (!read)
        return false;
    statm_t values;
    if (std::sscanf(line, "%lu %lu %lu %lu %lu %lu %lu", &values.size, &values.resident, &values.shared,
                    &values.text, &values.lib, &values.data, &values.dirty) != 7)
        return false;
    const unsigned long kb = static_cast<unsigned long>(pagesize) / 1024u;
    statm->size = values.size * kb;
    statm->resident = values.resident * kb;
    statm->shared = values.shared * kb;
    statm->text = values.text * kb;
    statm->lib = values.lib * kb;
    statm->data = values.data * kb;
    statm->dirty = values.dirty * kb;
    return true;
}

std::string PerformanceLog::Build() const
{
    timeval now{};
    gettimeofday(&now, nullptr);
    const std::time_t seconds = now.tv_sec;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    if (std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &local) == 0)
        stamp[0] = '\0';
    const std::uint64_t elapsed =
        now.tv_sec > start_time_.tv_sec ? static_cast<std::uint64_t>(now.tv_sec - start_time_.tv_sec) : 0;

    statm_t slots;
    thread_report(&slots);
    statm_t memory;
    read_memory_usage(&memory);
    const std::uint64_t free_memory = pages_in_kb(sysconf(_SC_AVPHYS_PAGES));

    char line[LINE_MAX_BYTES];
    const int length = std::snprintf(
        line, sizeof line - 1,
        "%s,%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%lu,%lu,%lu,%lu,%lu,%" PRIu64 ",%" PRIu64
        ",%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu64
        ",%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%lu,%lu,%lu,%lu,%lu,%lu",
        stamp, elapsed, get_connections_handled(), get_connections_closed(), get_requests_completed(),
        get_clients_in_pool(), slots.size, slots.resident, slots.shared, slots.text, slots.lib,
        get_threading_error(), get_new_connection(), get_connection_fail(), get_connection_pool_hit(),
        get_connection_pool_size(), get_bytes_in() >> 10, get_bytes_out() >> 10, get_cache_mmaps_created(),
        get_cache_mmaps_deleted(), get_dns_hit(), get_dns_miss(), get_dns_fail(), val_total_system_memory,
        free_memory, memory.size, memory.resident, memory.shared, memory.text, memory.data, memory.lib);
    std::string out;
    if (length > 0)
        out.assign(line, std::min<std::size_t>(static_cast<std::size_t>(length), sizeof line - 2));
    out += '\n';
    return out;
}

void PerformanceLog::Write()
{
    const std::string line = Build();
    if (plogfile.empty())
        return;
    if (plogfd < 0) {
        plogfd = s_open(plogfile.c_str(), O_RDWR | O_CREAT, 0640);
        if (plogfd < 0)
            return;
        if (lseek(plogfd, 0, SEEK_END) == 0)
            write_whole(plogfd, performance_legend);
    }
    write_whole(plogfd, line);
}

void* performance_check(void*)
{
    for (;;) {
        performance_log->Write();
        sleep(static_cast<unsigned>(performance_log_write_invl));
    }
    return nullptr;
}
