// Socket: one connected TCP descriptor, client or server side, with an input buffer (bytes read
// but not yet consumed), an output buffer (bytes accepted but not yet sent), optional TLS,
// optional throughput limits shared with other sockets (LimitGroup), and event callbacks
// through which protocol handlers see the bytes that pass.
//
// A Socket is used by one thread at a time and is not locked. Deleting it flushes and closes it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "core/owners.h"
#include "util/atom.h"
#include "net/tls.h"

class Filebuf;

// Event bits of a callback's mask.
enum : int {
    SOCKET_EVENT_READ = 1,    // bytes delivered by Read
    SOCKET_EVENT_WRITE = 2,   // bytes accepted by Write
    SOCKET_EVENT_ERROR = 4,   // a read or write failed; length -1, no bytes
};

// A callback gets its data pointer, a length and the bytes (null for an error). It returns -1 to
// make a Read fail; any other value lets it go on.
using SocketCallBackFunction = int (*)(void* data, long length, const char* bytes);

struct SocketCallBack {
    SocketCallBackFunction function = nullptr;
    int id = 0;
    int mask = 0;
    void* data = nullptr;
};

// A throughput budget shared by several sockets: rate bytes per second, with at most one window
// (100 ms) of it, the quota, going out at once after a pause. Its owner and every socket that uses
// it hold a LimitGroupRef; the last one dropped deletes it.
//
// Bytes are paid for in advance: a grant moves the moment by which everything granted so far
// has gone out at the rate, and the socket sleeps, without the lock, until its grant fits within
// one window of that moment. Grants are therefore served in the order they were asked for, a
// socket that waits on its peer holds back nobody, and over any stretch of time t the group
// moves at most quota + rate x t bytes.
class LimitGroup : public Atom {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::microseconds WINDOW{100000};
    // The most one take grants (unless a sixteenth of the quota is more): small enough that the
    // sockets of a busy group take turns within a window, large enough that a fast group is
    // not asked for every block.
    static constexpr unsigned GRANT_MAX = 16384;

    // rate 0: no limit.
    explicit LimitGroup(unsigned rate);

    unsigned rate() const { return rate_; }
    // Bytes per window: rate / 10, at least 1 for any rate above 0; 0 for no limit.
    unsigned quota() const { return quota_; }
    // The most one Reserve grants.
    unsigned grant_max() const { return grant_max_; }

    void Lock() { mutex_.lock(); }
    void Unlock() { mutex_.unlock(); }
    // Counts n bytes moved beyond any grant; the bytes counted and not yet paid for by the time
    // that has passed (so Incr(0) tells how far the group is ahead of its rate).
    long Incr(long n);

    // Grants up to want bytes (want 0: as many as one take gives), counted at once, after
    // sleeping until they may go; 0 for a group without a limit. *ticket receives the grant's
    // place in the group's count, for Settle; the caller gives back what it did not move.
    int Reserve(long want, std::uint64_t* ticket);
    // Settles a grant of `granted` bytes of which `moved` went. Bytes not moved go back only
    // while nothing was counted after the grant: the grants behind it are placed already, and
    // pulling the next one forward would let the group run ahead of its rate.
    void Settle(long moved, long granted, std::uint64_t ticket);

    // Tests drive the group with their own clock; sleeping must advance it.
    void SetClock(std::function<Clock::time_point()> now, std::function<void(std::chrono::microseconds)> sleep);

private:
    // The time the rate takes for n bytes, rounded up (or down, for bytes given back).
    Clock::duration Cost(long n, bool round_up) const;

    const unsigned rate_;
    const unsigned quota_;
    const unsigned grant_max_;
    std::mutex mutex_;                      // guards what follows
    // Every byte counted so far has gone out at the rate by then; in the past when idle.
    Clock::time_point paid_until_{};
    std::uint64_t counted_ = 0;             // grants and counts so far: the last one's ticket
    std::function<Clock::time_point()> now_;
    std::function<void(std::chrono::microseconds)> sleep_;
};

using LimitGroupRef = AtomRef<LimitGroup>;

// A pipe through which Socket::SpliceTo moves bytes from one descriptor to another inside the
// kernel. Owns both ends; one per relay, used by one thread.
class SplicePipe {
public:
    // Opens the pipe and widens it when the system lets it; ok() tells whether it opened.
    SplicePipe();
    SplicePipe(const SplicePipe&) = delete;
    SplicePipe& operator=(const SplicePipe&) = delete;
    ~SplicePipe();

    bool ok() const { return read_end_ >= 0 && write_end_ >= 0; }
    int read_end() const { return read_end_; }
    int write_end() const { return write_end_; }
    // The most one move takes.
    std::size_t capacity() const { return capacity_; }

private:
    int read_end_ = -1;
    int write_end_ = -1;
    std::size_t capacity_ = 0;
};

// The longest line GetLine waits for; a longer one is a failed read.
constexpr std::size_t SOCKET_LINE_MAX = 65536;

class Socket {
public:
    // The time-out, in seconds, of a write that has to wait for room on a blocking descriptor,
    // until SetTimeout gives another.
    static constexpr int WRITE_TIMEOUT = 60;

    Socket();
    // Takes over the connected descriptor fd (-1: none); it is closed with the socket.
    explicit Socket(int fd);
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    // Flushes the pending output (within the write time-out), closes the descriptor, drops the
    // limit groups and adds the byte counts to the performance log and the "network" statistics.
    ~Socket();

    int fd() const { return fd_; }
    int tls() const { return tls_session_ != nullptr ? 1 : 0; }
    // Bytes read from the descriptor but not yet delivered.
    std::size_t input_length() const { return in_.size(); }
    // Bytes accepted by Write but not yet sent.
    std::size_t output_length() const { return out_.size(); }
    std::uint64_t bytes_in() const { return bytes_in_; }
    std::uint64_t bytes_out() const { return bytes_out_; }
    // Capacities of the two buffers (multiples of 65,536).
    std::size_t input_capacity() const { return in_.capacity(); }
    std::size_t output_capacity() const { return out_.capacity(); }

    // Delivers up to length bytes into buffer: what is buffered and at most one read of the
    // descriptor, so possibly fewer than asked for. timeout -1: no wait before that read (it may
    // block, but only when nothing was buffered); otherwise, unless enough bytes are buffered,
    // waits up to timeout seconds for
    // input and gives -1 when none comes (the buffered bytes stay). length -1 ("fill") reads
    // once into the socket's own buffer and delivers nothing. Bytes delivered, or 0 at the end
    // of the stream, or -1. block: the most that one read of the descriptor takes (0: BLOCKSIZE),
    // for a relay that moves bulk data in larger blocks.
    int Read(char* buffer, int length, int timeout = -1, int block = 0);
    // One line, up to and including its '\n', out of the input, reading more as needed. With a
    // buffer, at most size - 1 bytes of it are copied and terminated; the result is the smaller
    // of the line's length and size; the whole line is consumed either way. size -1 drops the
    // line and gives its length. 0 or -1 from a read that found no line.
    int GetLine(char* buffer, int size, int timeout = -1);
    // Puts bytes back in front of the input, to be read first; the buffered length before.
    std::size_t PushFront(const char* bytes, std::size_t length);

    // Sends pending output first, then the bytes, keeping what cannot be sent now (a full
    // non-blocking descriptor or what its write group does not let through yet, the write
    // time-out) to go out first with the next Write. A blocking descriptor with a write group
    // sleeps through the group's grants until the bytes are out. bytes null, length -1: pending
    // output only. Bytes of this call sent now, or
    // -1 when the descriptor failed: then everything pending is dropped and the connection is
    // shut down, and every later Write gives -1.
    long Write(const char* bytes, long length);
    // Accepts the bytes as Write does but sends nothing yet: they go out in one send with the
    // bytes of the next Write (or with Flush), so that a header and the first block of a body
    // already at hand make one packet instead of two.
    void Hold(const char* bytes, std::size_t length);
    // printf-style, at most 8,191 characters (a longer text is cut); as Write.
    long PutSock(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Writes until nothing is pending, a write fails or one makes no progress; 0.
    int Flush();
    // Write of the buffer's bytes, then Flush; the Write's result.
    long WriteFilebuf(const Filebuf& buffer);

    // true: blocking descriptor; false: non-blocking. fcntl's result.
    int Blocking(bool on);
    // The write time-out in seconds (0 or more).
    void SetTimeout(int seconds);

    // Replaces the groups (null: no limit).
    void SetRate(LimitGroupRef read_group, LimitGroupRef write_group);
    // Bytes this socket may move now through the write group (write true) or the read group,
    // at most want (0: as many as one take gives), after sleeping out what the group's rate
    // asks; 0 without a limit. The grant is counted on the group until the next read or write
    // of that direction settles it with the bytes actually moved.
    int Throttle(bool write, long want = 0);
    // The groups in force; null without a limit.
    const LimitGroup* read_group() const { return read_group_.get(); }
    const LimitGroup* write_group() const { return write_group_.get(); }

    // Whether SpliceTo may move bytes from this socket to destination: both plain descriptors,
    // neither limited by a group, no read callback here and no write callback there (nobody
    // needs to see the bytes).
    bool CanSpliceTo(const Socket& destination) const;
    struct Spliced {
        // Bytes read from this socket, every one of them sent to destination or queued in its
        // output; 0 at the end of the stream, -1 a failed read, -2 nothing moved and nothing
        // lost: the copying path takes over (splice unsupported, or nothing ready after all).
        long read = 0;
        bool destination_failed = false;   // the destination failed as a failed Write fails it
    };
    // One read of up to length bytes, ready on the descriptor, through pipe into the
    // destination's descriptor, when CanSpliceTo holds and neither buffer holds bytes (which
    // must go first, through Read and Write); both byte counts go on as Read and Write would count them. The
    // sends wait for room as Write does, within the destination's write time-out; what is not
    // out by then stays queued in its output, to go first with its next Write.
    Spliced SpliceTo(Socket& destination, SplicePipe& pipe, std::size_t length);

    // Starts TLS on the descriptor (mode 1: as a client), naming host to the server; the
    // handshake must end within the write time-out. 1 on success, 0 on failure, after which the
    // socket stays plain.
    int Encrypt(int mode, std::string_view host = {});

    // Appends a callback for the events of mask; its id. An unknown id given to the three
    // after it is a fatal assertion.
    int CallBackAdd(SocketCallBackFunction function, void* data, int mask);
    int CallBackMaskGet(int id) const;
    int CallBackMaskSet(int id, int mask);
    int CallBackRemove(int id);
    // Calls, in the order they were added, every callback whose mask has one of the events;
    // -1 as soon as one gives -1, else 0.
    int CallBackEvent(int events, long length, const char* bytes);

private:
    // A byte queue whose capacity is a multiple of 65,536. Bytes are consumed from the front by
    // moving a start offset, so a partial read never shifts the rest; an emptied buffer of up
    // to 65,536 bytes is kept for reuse, a larger one is freed.
    class Buffer {
    public:
        static constexpr std::size_t STEP = 65536;

        const char* data() const { return data_.get() + start_; }
        std::size_t size() const { return length_; }
        std::size_t capacity() const { return capacity_; }

        // Room for n more bytes at the tail; the caller writes there and then calls Commit.
        char* Prepare(std::size_t n);
        void Commit(std::size_t n) { length_ += n; }
        void Append(const char* bytes, std::size_t n);
        void Prepend(const char* bytes, std::size_t n);
        // Drops n bytes (n <= size) from the front.
        void Consume(std::size_t n);
        void Clear();

    private:
        struct FreeDeleter {
            void operator()(char* p) const noexcept { std::free(p); }
        };
        // Moves the bytes to the front of a block of at least `need` bytes, rounded up.
        void Reshape(std::size_t need);

        std::unique_ptr<char, FreeDeleter> data_;
        std::size_t capacity_ = 0;
        std::size_t start_ = 0;
        std::size_t length_ = 0;
    };

    struct Sent {
        std::size_t bytes = 0;
        bool failed = false;
    };

    // One read of the descriptor (through TLS when on), repeated on EINTR.
    ssize_t ReadOnce(char* buffer, std::size_t length);
    // Moves what the TLS session has decrypted beyond the last read into the input, where the
    // callers that wait on the descriptor look for buffered bytes.
    void DrainTls();
    // Sends up to length bytes; on a blocking descriptor waits for room, within the write
    // time-out, until all are sent.
    Sent SendBytes(const char* bytes, std::size_t length);
    // SendBytes paced by the write group: grant after grant on a blocking descriptor, one grant
    // on a non-blocking one (its caller comes back when it can write again).
    Sent SendLimited(const char* bytes, std::size_t length);
    // Counts n bytes sent on the write group and in the byte total.
    void CountSent(std::size_t n);
    // A grant of Throttle on a group, not yet settled.
    struct Grant {
        long bytes = 0;
        std::uint64_t ticket = 0;
    };
    // Counts n bytes moved on a group, settling what Throttle reserved on it.
    static void Settle(LimitGroup* group, Grant& grant, long n);
    // Drops n bytes from the front of the input.
    void ConsumeInput(std::size_t n);
    // A write failed for good: drop the output, shut the connection down.
    void Fail();
    SocketCallBack* FindCallBack(int id);
    const SocketCallBack* FindCallBack(int id) const;

    int next_callback_id_ = 0;
    Buffer in_;
    Buffer out_;
    std::size_t scanned_ = 0;               // front bytes of in_ known to hold no '\n'
    std::vector<SocketCallBack> callbacks_; // in the order they were added
    TlsSessionPtr tls_session_;
    LimitGroupRef read_group_;              // null: no limit
    LimitGroupRef write_group_;
    Grant read_granted_;                    // reserved on the group by Throttle, not yet settled
    Grant write_granted_;
    int fd_ = -1;
    bool blocking_ = true;
    bool failed_ = false;                   // a write failed: the connection is shut down
    int write_timeout_ = WRITE_TIMEOUT;
    std::uint64_t bytes_in_ = 0;
    std::uint64_t bytes_out_ = 0;
};
