// The performance log's counters: load figures that the network, pool, cache and DNS code feed
// as events happen, from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <sys/time.h>

// The seven numbers of "/proc/self/statm", in file order.
struct statm_t {
    unsigned long size = 0;
    unsigned long resident = 0;
    unsigned long shared = 0;
    unsigned long text = 0;
    unsigned long lib = 0;
    unsigned long data = 0;
    unsigned long dirty = 0;
};

// Every setter adds its amount, except set_clients_in_pool and set_connection_pool_size, which
// hold the last value set. Sums are 64-bit and only grow. Each counter is independent: feeding
// one never waits on another.
class PerformanceLog {
public:
    PerformanceLog();
    PerformanceLog(const PerformanceLog&) = delete;
    ~PerformanceLog() = default;
    PerformanceLog& operator=(const PerformanceLog&) = delete;

    // When the object was built.
    const timeval& start_time() const { return start_time_; }

    // The seven figures of "/proc/self/statm" in KB; false, leaving them 0, when the file cannot
    // be read or does not hold seven numbers.
    static bool read_memory_usage(statm_t* statm);
    // One CSV line of the current figures, ended by a newline. Not one atomic snapshot: each
    // counter is read on its own.
    std::string Build() const;
    // Appends one line to the file named by plogfile (nothing when that is empty). The file is
    // opened on the first line and then kept open; a new or empty file gets the legend first. A
    // failed open loses only this line.
    void Write();

    void set_threading_error(std::uint64_t n) { add(threading_error_, n); }
    void set_connection_pool_size(std::uint64_t n) { connection_pool_size_.store(n, std::memory_order_relaxed); }
    void set_new_connection(std::uint64_t n) { add(new_connection_, n); }
    void set_connection_fail(std::uint64_t n) { add(connection_fail_, n); }
    void set_connection_pool_hit(std::uint64_t n) { add(connection_pool_hit_, n); }
    void set_dns_fail(std::uint64_t n) { add(dns_fail_, n); }
    void set_dns_hit(std::uint64_t n) { add(dns_hit_, n); }
    void set_bytes_out(std::uint64_t n) { add(bytes_out_, n); }
    void set_bytes_in(std::uint64_t n) { add(bytes_in_, n); }
    void set_clients_in_pool(std::uint64_t n) { clients_in_pool_.store(n, std::memory_order_relaxed); }
    void set_requests_completed(std::uint64_t n) { add(requests_completed_, n); }
    void set_connections_closed(std::uint64_t n) { add(connections_closed_, n); }
    void set_connections_handled(std::uint64_t n) { add(connections_handled_, n); }
    void set_cache_mmaps_created(std::uint64_t n) { add(cache_mmaps_created_, n); }
    void set_cache_mmaps_deleted(std::uint64_t n) { add(cache_mmaps_deleted_, n); }
    void set_dns_miss(std::uint64_t n) { add(dns_miss_, n); }

    std::uint64_t get_threading_error() const { return get(threading_error_); }
    std::uint64_t get_connection_pool_size() const { return get(connection_pool_size_); }
    std::uint64_t get_new_connection() const { return get(new_connection_); }
    std::uint64_t get_connection_fail() const { return get(connection_fail_); }
    std::uint64_t get_connection_pool_hit() const { return get(connection_pool_hit_); }
    std::uint64_t get_dns_fail() const { return get(dns_fail_); }
    std::uint64_t get_dns_hit() const { return get(dns_hit_); }
    std::uint64_t get_bytes_out() const { return get(bytes_out_); }
    std::uint64_t get_bytes_in() const { return get(bytes_in_); }
    std::uint64_t get_clients_in_pool() const { return get(clients_in_pool_); }
    std::uint64_t get_requests_completed() const { return get(requests_completed_); }
    std::uint64_t get_connections_closed() const { return get(connections_closed_); }
    std::uint64_t get_connections_handled() const { return get(connections_handled_); }
    std::uint64_t get_cache_mmaps_created() const { return get(cache_mmaps_created_); }
    std::uint64_t get_cache_mmaps_deleted() const { return get(cache_mmaps_deleted_); }
    std::uint64_t get_dns_miss() const { return get(dns_miss_); }

private:
    using Counter = std::atomic<std::uint64_t>;

    // Wraps only after 2^64.
    static void add(Counter& counter, std::uint64_t n) { counter.fetch_add(n, std::memory_order_relaxed); }
    static std::uint64_t get(const Counter& counter) { return counter.load(std::memory_order_relaxed); }

    timeval start_time_{};
    Counter threading_error_{0};
    Counter connection_pool_size_{0};
    Counter new_connection_{0};
    Counter connection_fail_{0};
    Counter connection_pool_hit_{0};
    Counter dns_fail_{0};
    Counter dns_hit_{0};
    Counter bytes_out_{0};
    Counter bytes_in_{0};
    Counter clients_in_pool_{0};
    Counter requests_completed_{0};
    Counter connections_closed_{0};
    Counter connections_handled_{0};
    Counter cache_mmaps_created_{0};
    Counter cache_mmaps_deleted_{0};
    Counter dns_miss_{0};
};

// The system page size, the physical memory in KB, and the header line of the file.
extern const long pagesize;
extern const std::uint64_t val_total_system_memory;
extern const std::string performance_legend;
// The open performance log, -1 while closed; only the writer thread touches it.
extern int plogfd;
// Seconds between two lines.
extern const int performance_log_write_invl;

// The writer thread's body: a line at once, then one every performance_log_write_invl seconds.
void* performance_check(void* unused);

// The process-wide object. It exists from static initialisation on, so every thread and every
// test may feed it without a set-up step; it is never destroyed.
extern PerformanceLog* const performance_log;
