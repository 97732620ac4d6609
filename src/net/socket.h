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

// A throughput budget shared by several sockets: rate bytes per second, handed out in windows of
// 100 ms. Its owner and every socket that uses it hold a LimitGroupRef; the last one dropped
// deletes it.
class LimitGroup : public Atom {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::microseconds WINDOW{100000};

    // rate 0: no limit.
    explicit LimitGroup(unsigned rate);

    unsigned rate() const { return rate_; }
    // Bytes per window: rate / 10, at least 1 for any rate above 0; 0 for no limit.
    unsigned quota() const { return quota_; }

    void Lock() { mutex_.lock(); }
    void Unlock() { mutex_.unlock(); }
    // Adds n bytes moved to the current window; the window's new count.
    long Incr(long n);

    // The bytes a socket may move now, 0 meaning no limit; sleeps out the rest of the window
    // when its budget is spent. The group's lock is never held while sleeping: the sockets that
    // share the group keep moving what they were granted.
    int Throttle();
    // Throttle() that also counts what it grants as moved, so that sockets asking at the same
    // moment share the window's budget instead of each getting all of it. *window receives the
    // window the grant belongs to; the caller settles the grant with Settle once it knows what
    // it moved.
    int Reserve(std::uint64_t* window);
    // Counts moved bytes in place of the granted ones; a grant of a window that has ended is
    // gone with it, and only the moved bytes count.
    void Settle(long moved, long granted, std::uint64_t window);

    // Tests drive the window with their own clock; sleeping must advance it.
    void SetClock(std::function<Clock::time_point()> now, std::function<void(std::chrono::microseconds)> sleep);

private:
    int Take(std::uint64_t* window);

    const unsigned rate_;
    const unsigned quota_;
    std::mutex mutex_;                      // guards what follows
    long used_ = 0;                         // bytes counted in the current window
    std::uint64_t window_ = 0;              // numbers the windows, for Settle
    Clock::time_point start_{};             // start of the current window
    std::function<Clock::time_point()> now_;
    std::function<void(std::chrono::microseconds)> sleep_;
};

using LimitGroupRef = AtomRef<LimitGroup>;

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
    // non-blocking descriptor, a throughput limit, the write time-out) to go out first with the
    // next Write. bytes null, length -1: pending output only. Bytes of this call sent now, or
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
    // Bytes this socket may move now through the write group (write true) or the read group;
    // 0 without a limit.
    int Throttle(bool write);
    // The groups in force; null without a limit.
    const LimitGroup* read_group() const { return read_group_.get(); }
    const LimitGroup* write_group() const { return write_group_.get(); }

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
    // Counts n bytes sent on the write group and in the byte total.
    void CountSent(std::size_t n);
    // A grant of Throttle on a group, not yet settled.
    struct Grant {
        long bytes = 0;
        std::uint64_t window = 0;
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
