// The access log and the extended log: one record of each per request, built from the LogEntry
// that every connection carries, appended under logfile_lock.
#pragma once

#include <cstdint>
#include <string>
#include <sys/time.h>

// Cache result codes (LogEntry::set_cachecode); any other value is logged as "UNSPECIFIED".
enum : int {
    TCP_HIT = 1,
    TCP_MISS = 2,
    TCP_REFRESH_HIT = 3,
    TCP_REF_FAIL_HIT = 4,
    TCP_REFRESH_MISS = 5,
    TCP_CLIENT_REFRESH = 6,
    TCP_IMS_HIT = 7,
    TCP_IMS_MISS = 8,
    TCP_DENIED = 9,
    UDP_HIT = 10,
    UDP_MISS = 11,
    UDP_HIT_OBJ = 12,
    UDP_DENIED = 13,
    UDP_INVALID = 14,
};

// Hierarchy codes (LogEntry::set_peercode); any other value is logged as "NONE".
enum : int {
    DIRECT = 1,
    FIREWALL_IP_DIRECT = 2,
    FIRST_PARENT_MISS = 3,
    FIRST_UP_PARENT = 4,
    LOCAL_IP_DIRECT = 5,
    SIBLING_HIT = 6,
    NO_DIRECT_FAIL = 7,
    NO_PARENT_DIRECT = 8,
    PARENT_HIT = 9,
    SINGLE_PARENT = 10,
    SOURCE_FASTEST = 11,
    PARENT_UDP_HIT_OBJ = 12,
    SIBLING_UDP_HIT_OBJ = 13,
    PASSTHROUGH_PARENT = 14,
    SSL_PARENT_MISS = 15,
    DEFAULT_PARENT = 16,
    ROUNDROBIN_PARENT = 17,
    CLOSEST_PARENT_MISS = 18,
    CLOSEST_DIRECT = 19,   // logged as "CLOEST_DIRECT", the spelling log readers know
};

// The first line of a new access log and of a new extended log.
extern const char* const access_legend;
extern const char* const apache_legend;

// The record of one request. It lives in its connection and belongs to that connection's
// thread; Reset starts each request, and the fields that Reset leaves alone keep the previous
// request's values until the pipeline sets them again. Text fields hold the values as received;
// control bytes in them are written escaped as "\xHH", so that no value can break a record
// into two lines.
class LogEntry {
public:
    // Every text "" except client, username, useragent and referer ("-"); then Reset.
    LogEntry();

    // Starts a new request: start is now; both codes, status and size 0; url, peer, mime,
    // filter_name, filtering_reason and profiles "-".
    void Reset();

    void set_cachecode(int code) { cachecode_ = code; }
    void set_peercode(int code) { peercode_ = code; }
    // The texts of the codes, as logged.
    const char* cachecode() const;
    const char* peercode() const;

    // The records, each beginning with a newline and without one at its end. Both set end to
    // now; the extended record also carries the local date of that moment.
    std::string Build();
    std::string apache_Build();

    // Build a record and append it to its log (slogfile, elogfile); without a path nothing is
    // written, though end is still set. A file that cannot be opened costs only this record.
    void Write();
    void apache_Write();

    std::string client;            // client address; "prefetch" for the prefetcher's requests
    timeval start{};
    timeval end{};
    int status = 0;                // sent to the client
    std::uint64_t size = 0;        // body bytes sent, or bytes relayed by a tunnel
    std::string method;
    std::string url;
    std::string username;
    std::string peer;              // who answered; "tarvodine" for the proxy's own pages
    std::string mime;
    std::string useragent;
    std::string referer;
    std::string filter_name;       // the filter that blocked the request
    std::string filtering_reason;
    std::string profiles;          // comma-separated
    std::string interface_ip;      // the listener that accepted the connection
    std::string interface_port;
    std::uint32_t client_id = 0;

private:
    int cachecode_ = 0;
    int peercode_ = 0;
};

// The clock of the records (start, end, dates) and of the rotated names of both logs; tests
// replace it to get fixed times. Null restores gettimeofday.
using logentry_clock_t = timeval (*)();
void logentry_set_clock(logentry_clock_t clock);
