#include "net/socket.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <thread>
#include <utility>
#include <unistd.h>

#include "util/descriptor.h"
#include "util/filebuf.h"
#include "core/global.h"
#include "util/mem.h"
#include "core/options.h"
#include "core/performance.h"

namespace {

// The area PutSock formats into; one byte is kept for the terminator.
constexpr std::size_t PUTSOCK_AREA = 8192;

using SteadyClock = std::chrono::steady_clock;

std::size_t round_up(std::size_t n, std::size_t step)
{
    return (n + step - 1) / step * step;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// SplicePipe

namespace {

// A wider pipe takes a whole socket receive buffer in one move; the default (16 pages) would
// split a large body into many more system calls.
constexpr int SPLICE_PIPE_SIZE = 262144;
constexpr std::size_t SPLICE_PIPE_DEFAULT = 65536;

}  // namespace

SplicePipe::SplicePipe()
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    read_end_ = ends[0];
    write_end_ = ends[1];
    const int size = fcntl(write_end_, F_SETPIPE_SZ, SPLICE_PIPE_SIZE);
    capacity_ = size > 0 ? static_cast<std::size_t>(size) : SPLICE_PIPE_DEFAULT;
}

SplicePipe::~SplicePipe()
{
    if (read_end_ >= 0)
        close(read_end_);
    if (write_end_ >= 0)
        close(write_end_);
}

// ---------------------------------------------------------------------------------------------
// LimitGroup

LimitGroup::LimitGroup(unsigned rate)
    : rate_(rate),
      // A rate below 10 bytes a second still limits: one byte a window.
      quota_(rate == 0 ? 0 : std::max(1u, rate / 10)),
      grant_max_(std::min(quota_, std::max(GRANT_MAX, quota_ / 16))),
      now_([] { return Clock::now(); }),
      sleep_([](std::chrono::microseconds t) { std::this_thread::sleep_for(t); })
{
}

LimitGroup::Clock::duration LimitGroup::Cost(long n, bool round_up) const
{
    using std::chrono::nanoseconds;
    // n stays below 2^31 and the product below 2^62: no overflow.
    const auto scaled = static_cast<std::int64_t>(n) * 1000000000;
    const std::int64_t ns = scaled / rate_ + (round_up && scaled % rate_ != 0 ? 1 : 0);
    return std::chrono::duration_cast<Clock::duration>(nanoseconds(ns));
}

long LimitGroup::Incr(long n)
{
    std::lock_guard lock(mutex_);
    if (rate_ == 0)
        return 0;
    const Clock::time_point now = now_();
    n = std::clamp(n, 0L, 0x7fffffffL);
    paid_until_ = std::max(paid_until_, now) + Cost(n, true);
    ++counted_;
    const auto ahead = std::chrono::duration_cast<std::chrono::nanoseconds>(paid_until_ - now).count();
    return static_cast<long>(static_cast<__int128>(ahead) * rate_ / 1000000000);
}

void LimitGroup::SetClock(std::function<Clock::time_point()> now, std::function<void(std::chrono::microseconds)> sleep)
{
    std::lock_guard lock(mutex_);
    now_ = std::move(now);
    sleep_ = std::move(sleep);
}

int LimitGroup::Reserve(long want, std::uint64_t* ticket)
{
    if (quota_ == 0)
        return 0;
    const long grant = want > 0 ? std::min<long>(want, grant_max_) : static_cast<long>(grant_max_);
    Clock::time_point now;
    Clock::time_point go;
    std::function<void(std::chrono::microseconds)> sleep;
    {
        std::lock_guard lock(mutex_);
        now = now_();
        // A group that has been idle starts from now: the time nobody used is not saved up
        // beyond the one window the grant may run ahead.
        paid_until_ = std::max(paid_until_, now) + Cost(grant, true);
        *ticket = ++counted_;
        go = paid_until_ - WINDOW;
        sleep = sleep_;
    }
    if (go > now)
        sleep(std::chrono::ceil<std::chrono::microseconds>(go - now));
    return static_cast<int>(grant);
}

void LimitGroup::Settle(long moved, long granted, std::uint64_t ticket)
{
    if (quota_ == 0 || moved == granted)
        return;
    std::lock_guard lock(mutex_);
    if (moved < granted) {
        // The last grant counted ends the count: taking back its unused bytes leaves the count
        // as if it had asked for what it moved.
        if (ticket == counted_)
            paid_until_ -= Cost(granted - std::max(moved, 0L), false);
    } else {
        paid_until_ = std::max(paid_until_, now_()) + Cost(std::min(moved - granted, 0x7fffffffL), true);
        ++counted_;
    }
}

// ---------------------------------------------------------------------------------------------
// Socket::Buffer

void Socket::Buffer::Reshape(std::size_t need)
{
    const std::size_t capacity = round_up(std::max<std::size_t>(need, 1), STEP);
    if (start_ > 0 && length_ > 0)
        std::memmove(data_.get(), data_.get() + start_, length_);
    start_ = 0;
    if (capacity == capacity_)
        return;
    void* grown = xrealloc(data_.get(), capacity);
    if (grown == nullptr)
        FATAL_ALLOC(capacity);
    static_cast<void>(data_.release());
    data_.reset(static_cast<char*>(grown));
    capacity_ = capacity;
}

char* Socket::Buffer::Prepare(std::size_t n)
{
    if (start_ + length_ + n > capacity_) {
        // Moving the bytes to the front is paid for by at least as many consumed ones; otherwise
        // the block grows.
        if (start_ >= length_ && length_ + n <= capacity_)
            Reshape(capacity_);
        else
            Reshape(length_ + n);
    }
    return data_.get() + start_ + length_;
}

void Socket::Buffer::Append(const char* bytes, std::size_t n)
{
    if (n == 0)
        return;
    std::memcpy(Prepare(n), bytes, n);
    Commit(n);
}

void Socket::Buffer::Prepend(const char* bytes, std::size_t n)
{
    if (n == 0)
        return;
    if (start_ < n) {
        // Room for n bytes in front: the data move behind them.
        if (round_up(length_ + n, STEP) > capacity_)
            Reshape(length_ + n);
        if (length_ > 0)
            std::memmove(data_.get() + n, data_.get() + start_, length_);
        start_ = n;
    }
    start_ -= n;
    std::memcpy(data_.get() + start_, bytes, n);
    length_ += n;
}

void Socket::Buffer::Consume(std::size_t n)
{
    FATAL_ASSERT(n <= length_);
    start_ += n;
    length_ -= n;
    if (length_ == 0) {
        Clear();
        return;
    }
    // A buffer that has drained far below its block gives the surplus back.
    if (capacity_ >= round_up(length_, STEP) + STEP)
        Reshape(length_);
}

void Socket::Buffer::Clear()
{
    start_ = 0;
    length_ = 0;
    if (capacity_ > STEP) {
        data_.reset();
        capacity_ = 0;
    }
}

// ---------------------------------------------------------------------------------------------
// Socket

void SocketFree::operator()(Socket* socket) const noexcept
{
    delete socket;
}

Socket::Socket() = default;

Socket::Socket(int fd) : fd_(fd)
{
    if (fd_ >= 0) {
        const int flags = fcntl(fd_, F_GETFL);
        blocking_ = flags < 0 || (flags & O_NONBLOCK) == 0;
    }
}

Socket::~Socket()
{
    if (!failed_ && out_.size() > 0 && fd_ >= 0)
        Flush();
    Settle(read_group_.get(), read_granted_, 0);
    Settle(write_group_.get(), write_granted_, 0);
    tls_session_.reset();
    if (fd_ >= 0)
        close(fd_);
    performance_log->set_bytes_in(bytes_in_);
    performance_log->set_bytes_out(bytes_out_);
    if (global != nullptr) {
        if (bytes_out_ != 0)
            global->stats.Increment("network", "bytes out", bytes_out_);
        if (bytes_in_ != 0)
            global->stats.Increment("network", "bytes in", bytes_in_);
    }
}

ssize_t Socket::ReadOnce(char* buffer, std::size_t length)
{
    for (;;) {
        const ssize_t n = tls_session_ != nullptr ? tls_read(tls_session_.get(), buffer, length)
                                                   : read(fd_, buffer, length);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

void Socket::DrainTls()
{
    if (tls_session_ == nullptr)
        return;
    for (std::size_t pending = tls_pending(tls_session_.get()); pending > 0;
         pending = tls_pending(tls_session_.get())) {
        const ssize_t n = ReadOnce(in_.Prepare(pending), pending);
        if (n <= 0)
            break;
        in_.Commit(static_cast<std::size_t>(n));
        if (read_group_ != nullptr)
            read_group_->Incr(n);
        bytes_in_ += static_cast<std::uint64_t>(n);
    }
}

void Socket::ConsumeInput(std::size_t n)
{
    in_.Consume(n);
    scanned_ = scanned_ > n ? scanned_ - n : 0;
}

int Socket::Read(char* buffer, int length, int timeout, int block_size)
{
    const bool fill = length == -1;
    if (!fill && (length < 0 || buffer == nullptr))
        return -1;
    if (!fill && length == 0)
        return 0;
    const std::size_t wanted = fill ? 0 : static_cast<std::size_t>(length);

    if (timeout >= 0 && (fill || in_.size() < wanted)) {
        const auto deadline = SteadyClock::now() + std::chrono::seconds(timeout);
        // Readable wins over a hang-up reported with it: the peer's last bytes are still there.
        const int events = poll_until(fd_, POLLIN, deadline);
        if (events <= 0 || (events & POLLIN) == 0)
            return -1;
    }

    std::size_t delivered = 0;
    if (!fill && in_.size() > 0) {
        const std::size_t buffered = in_.size();
        const std::size_t take = std::min(buffered, wanted);
        std::memcpy(buffer, in_.data(), take);
        ConsumeInput(take);
        if (buffered >= wanted)
            return CallBackEvent(SOCKET_EVENT_READ, length, buffer) == -1 ? -1 : length;
        delivered = take;
        // Without a wait the read below could block although there are bytes to deliver: they
        // go now unless more input is ready.
        if (timeout < 0 && (poll_until(fd_, POLLIN, SteadyClock::now()) & POLLIN) == 0) {
            if (CallBackEvent(SOCKET_EVENT_READ, static_cast<long>(delivered), buffer) == -1)
                return -1;
            return static_cast<int>(delivered);
        }
    }

    std::size_t block = static_cast<std::size_t>(std::max(block_size > 0 ? block_size : BLOCKSIZE, 1));
    const int allowance = Throttle(false, static_cast<long>(block));
    if (allowance > 0 && static_cast<std::size_t>(allowance) < block)
        block = static_cast<std::size_t>(allowance);

    ssize_t n;
    if (!fill && wanted - delivered >= block) {
        n = ReadOnce(buffer + delivered, block);
        if (n > 0)
            delivered += static_cast<std::size_t>(n);
    } else {
        // The input buffer is empty here unless filling: the block lands in it and the excess
        // over what the caller asked for stays there.
        char* tail = in_.Prepare(block);
        n = ReadOnce(tail, block);
        if (n > 0) {
            in_.Commit(static_cast<std::size_t>(n));
            if (!fill) {
                const std::size_t take = std::min(static_cast<std::size_t>(n), wanted - delivered);
                std::memcpy(buffer + delivered, in_.data(), take);
                ConsumeInput(take);
                delivered += take;
            }
        } else if (in_.size() == 0) {
            in_.Clear();
        }
    }
    Settle(read_group_.get(), read_granted_, n > 0 ? static_cast<long>(n) : 0);
    if (n > 0) {
        bytes_in_ += static_cast<std::uint64_t>(n);
        DrainTls();
    }

    if (delivered > 0) {
        if (CallBackEvent(SOCKET_EVENT_READ, static_cast<long>(delivered), buffer) == -1)
            return -1;
        if (n < 0)
            CallBackEvent(SOCKET_EVENT_ERROR, -1, nullptr);
        return static_cast<int>(delivered);
    }
    return static_cast<int>(n);
}

int Socket::GetLine(char* buffer, int size, int timeout)
{
    const char* newline = nullptr;
    for (;;) {
        if (scanned_ < in_.size()) {
            newline = static_cast<const char*>(std::memchr(in_.data() + scanned_, '\n', in_.size() - scanned_));
            if (newline != nullptr)
                break;
            scanned_ = in_.size();
        }
        // A peer that never ends its line must not grow the input without bound.
        if (in_.size() >= SOCKET_LINE_MAX)
            return -1;
        const int n = Read(nullptr, -1, timeout);
        if (n <= 0)
            return n;
    }
    const std::size_t line = static_cast<std::size_t>(newline - in_.data()) + 1;
    int result = static_cast<int>(std::min<std::size_t>(line, 0x7fffffff));
    if (buffer != nullptr && size > 0) {
        const std::size_t copy = line < static_cast<std::size_t>(size) ? line : static_cast<std::size_t>(size) - 1;
        std::memcpy(buffer, in_.data(), copy);
        buffer[copy] = '\0';
        result = std::min(result, size);
    } else if (size >= 0) {
        result = std::min(result, size);
    }
    ConsumeInput(line);
    return result;
}

std::size_t Socket::PushFront(const char* bytes, std::size_t length)
{
    const std::size_t before = in_.size();
    if (bytes != nullptr && length > 0) {
        in_.Prepend(bytes, length);
        scanned_ = 0;
    }
    return before;
}

void Socket::Settle(LimitGroup* group, Grant& grant, long n)
{
    const Grant settled = std::exchange(grant, Grant{});
    if (group == nullptr)
        return;
    if (settled.bytes > 0)
        group->Settle(n, settled.bytes, settled.ticket);
    else if (n > 0)
        group->Incr(n);
}

void Socket::CountSent(std::size_t n)
{
    Settle(write_group_.get(), write_granted_, static_cast<long>(n));
    bytes_out_ += n;
}

Socket::Sent Socket::SendBytes(const char* bytes, std::size_t length)
{
    Sent result;
    const auto deadline = SteadyClock::now() + std::chrono::seconds(write_timeout_);
    while (result.bytes < length) {
        const char* from = bytes + result.bytes;
        const std::size_t left = length - result.bytes;
        const ssize_t n = tls_session_ != nullptr ? tls_write(tls_session_.get(), from, left)
                                                   : send(fd_, from, left, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            result.bytes += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A non-blocking descriptor keeps the rest for later; a blocking one waits for room,
            // but never beyond the write time-out.
            if (!blocking_)
                break;
            const int events = poll_until(fd_, POLLOUT, deadline);
            if (events == 0)
                break;
            if (events < 0) {
                result.failed = true;
                break;
            }
            continue;
        }
        result.failed = true;
        break;
    }
    return result;
}

void Socket::Fail()
{
    // Bytes after a lost piece must never reach the peer: the connection ends here.
    out_.Clear();
    failed_ = true;
    if (fd_ >= 0)
        shutdown(fd_, SHUT_RDWR);
}

Socket::Sent Socket::SendLimited(const char* bytes, std::size_t length)
{
    if (write_group_ == nullptr) {
        const Sent sent = SendBytes(bytes, length);
        CountSent(sent.bytes);
        return sent;
    }
    // A blocking writer is paced here rather than left to queue what the group does not let
    // through yet: a relay reading a fast server would otherwise pile the whole download up in
    // the output buffer of a slow-rated client.
    Sent result;
    while (result.bytes < length) {
        const long want = static_cast<long>(std::min<std::size_t>(length - result.bytes, 0x7fffffff));
        const int allowance = Throttle(true, want);
        // A group of rate 0 does not limit.
        const std::size_t allowed = allowance > 0 ? static_cast<std::size_t>(allowance) : length - result.bytes;
        const Sent sent = SendBytes(bytes + result.bytes, allowed);
        CountSent(sent.bytes);
        result.bytes += sent.bytes;
        if (sent.failed) {
            result.failed = true;
            break;
        }
        if (sent.bytes < allowed || !blocking_)
            break;
    }
    return result;
}

long Socket::Write(const char* bytes, long length)
{
    const bool given = length >= 0;
    FATAL_ASSERT(!given || length == 0 || bytes != nullptr);
    if (failed_)
        return -1;

    bool error = false;
    std::size_t pending_sent = 0;
    const std::size_t held = out_.size();
    if (held > 0 && given && length > 0 && write_group_ == nullptr &&
        held + static_cast<std::size_t>(length) <= Buffer::STEP) {
        // Pending bytes and these fit one block: one send instead of two.
        out_.Append(bytes, static_cast<std::size_t>(length));
        const Sent sent = SendBytes(out_.data(), out_.size());
        CountSent(sent.bytes);
        out_.Consume(sent.bytes);
        if (sent.failed) {
            Fail();
            CallBackEvent(SOCKET_EVENT_ERROR, -1, nullptr);
            return -1;
        }
        CallBackEvent(SOCKET_EVENT_WRITE, length, bytes);
        return sent.bytes > held ? static_cast<long>(sent.bytes - held) : 0;
    }
    if (out_.size() > 0) {
        const Sent sent = SendLimited(out_.data(), out_.size());
        out_.Consume(sent.bytes);
        pending_sent = sent.bytes;
        error = sent.failed;
    }

    if (!error && given) {
        const std::size_t total = static_cast<std::size_t>(length);
        if (out_.size() == 0) {
            const Sent sent = SendLimited(bytes, total);
            if (sent.failed) {
                error = true;
            } else {
                out_.Append(bytes + sent.bytes, total - sent.bytes);
                if (sent.bytes > 0) {
                    CallBackEvent(SOCKET_EVENT_WRITE, length, bytes);
                    return static_cast<long>(sent.bytes);
                }
            }
        } else {
            out_.Append(bytes, total);
        }
    }

    if (error) {
        Fail();
        CallBackEvent(SOCKET_EVENT_ERROR, -1, nullptr);
        return -1;
    }
    CallBackEvent(SOCKET_EVENT_WRITE, given ? length : -1, given ? bytes : nullptr);
    return given ? 0 : static_cast<long>(pending_sent);
}

void Socket::Hold(const char* bytes, std::size_t length)
{
    if (failed_ || length == 0)
        return;
    out_.Append(bytes, length);
    CallBackEvent(SOCKET_EVENT_WRITE, static_cast<long>(length), bytes);
}

long Socket::PutSock(const char* format, ...)
{
    std::array<char, PUTSOCK_AREA> area;
    std::va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(area.data(), area.size(), format, args);
    va_end(args);
    if (n < 0)
        return -1;
    return Write(area.data(), std::min<long>(n, static_cast<long>(area.size() - 1)));
}

int Socket::Flush()
{
    while (out_.size() > 0 && !failed_) {
        const std::size_t before = out_.size();
        if (Write(nullptr, -1) < 0 || out_.size() >= before)
            break;
    }
    return 0;
}

long Socket::WriteFilebuf(const Filebuf& buffer)
{
    const long result = Write(buffer.data(), static_cast<long>(buffer.size()));
    Flush();
    return result;
}

int Socket::Blocking(bool on)
{
    const int flags = fcntl(fd_, F_GETFL);
    if (flags < 0)
        return flags;
    const int rc = fcntl(fd_, F_SETFL, on ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
    if (rc == 0)
        blocking_ = on;
    return rc;
}

void Socket::SetTimeout(int seconds)
{
    write_timeout_ = std::max(seconds, 0);
}

void Socket::SetRate(LimitGroupRef read_group, LimitGroupRef write_group)
{
    // What the old groups granted and nobody moved goes back to them.
    Settle(read_group_.get(), read_granted_, 0);
    Settle(write_group_.get(), write_granted_, 0);
    read_group_ = std::move(read_group);
    write_group_ = std::move(write_group);
}

int Socket::Throttle(bool write, long want)
{
    LimitGroup* group = write ? write_group_.get() : read_group_.get();
    Grant& grant = write ? write_granted_ : read_granted_;
    Settle(group, grant, 0);
    if (group == nullptr)
        return 0;
    grant.bytes = group->Reserve(want, &grant.ticket);
    return static_cast<int>(grant.bytes);
}

bool Socket::CanSpliceTo(const Socket& destination) const
{
    if (fd_ < 0 || destination.fd_ < 0 || tls_session_ != nullptr || destination.tls_session_ != nullptr ||
        read_group_ != nullptr || destination.write_group_ != nullptr || destination.failed_)
        return false;
    const auto watches = [](const std::vector<SocketCallBack>& callbacks, int event) {
        return std::any_of(callbacks.begin(), callbacks.end(),
                           [event](const SocketCallBack& callback) { return (callback.mask & event) != 0; });
    };
    return !watches(callbacks_, SOCKET_EVENT_READ) && !watches(destination.callbacks_, SOCKET_EVENT_WRITE);
}

Socket::Spliced Socket::SpliceTo(Socket& destination, SplicePipe& pipe, std::size_t length)
{
    Spliced result;
    result.read = -2;
    if (!pipe.ok() || length == 0 || in_.size() > 0 || destination.out_.size() > 0 || !CanSpliceTo(destination))
        return result;
    ssize_t n;
    do {
        n = splice(fd_, nullptr, pipe.write_end(), nullptr, std::min(length, pipe.capacity()),
                   SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        // Nothing was taken from the descriptor: unless it failed, the copying path goes on.
        if (errno != EAGAIN && errno != EINVAL && errno != ENOSYS)
            result.read = -1;
        return result;
    }
    result.read = static_cast<long>(n);
    if (n == 0)
        return result;
    bytes_in_ += static_cast<std::uint64_t>(n);

    // The sends must not block past the write time-out: a blocking descriptor is made
    // non-blocking while the pipe empties, and waits for room are polls, as SendBytes waits.
    // Should that fail, the bytes wait in the output for the next Write, as any Write's would.
    const int flags = destination.blocking_ ? fcntl(destination.fd_, F_GETFL) : -1;
    const bool toggled = flags >= 0 && fcntl(destination.fd_, F_SETFL, flags | O_NONBLOCK) == 0;
    const bool nonblocking = !destination.blocking_ || toggled;
    // A send into a connection the peer broke raises SIGPIPE, which splice, unlike send, cannot
    // be told to leave out.
    std::optional<SigpipeBlock> sigpipe(std::in_place);
    std::size_t left = static_cast<std::size_t>(n);
    const auto deadline = SteadyClock::now() + std::chrono::seconds(destination.write_timeout_);
    while (left > 0 && nonblocking) {
        // No SPLICE_F_MORE: the kernel marks every send but the last of the pipe as having more
        // to come by itself, and the last bytes of a body must not wait corked for a next send.
        const ssize_t sent = splice(pipe.read_end(), nullptr, destination.fd_, nullptr, left,
                                    SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (sent > 0) {
            left -= static_cast<std::size_t>(sent);
            destination.bytes_out_ += static_cast<std::uint64_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && errno == EAGAIN) {
            if (!destination.blocking_)
                break;
            const int events = poll_until(destination.fd_, POLLOUT, deadline);
            if (events == 0)
                break;
            if (events > 0)
                continue;
        }
        if (sent < 0 && errno == EPIPE)
            sigpipe->raised();
        result.destination_failed = true;
        break;
    }
    if (toggled)
        fcntl(destination.fd_, F_SETFL, flags);
    sigpipe.reset();

    if (result.destination_failed) {
        // The pipe's rest is dropped with the connection, as a failed Write drops its output.
        while (left > 0) {
            char scratch[4096];
            const ssize_t r = read(pipe.read_end(), scratch, std::min(left, sizeof scratch));
            if (r <= 0)
                break;
            left -= static_cast<std::size_t>(r);
        }
        destination.Fail();
        destination.CallBackEvent(SOCKET_EVENT_ERROR, -1, nullptr);
        return result;
    }
    // What the destination did not take in time waits in its output, like the rest of a Write.
    while (left > 0) {
        const ssize_t r = read(pipe.read_end(), destination.out_.Prepare(left), left);
        if (r <= 0)
            break;
        destination.out_.Commit(static_cast<std::size_t>(r));
        left -= static_cast<std::size_t>(r);
    }
    return result;
}

int Socket::Encrypt(int mode, std::string_view host)
{
    if (fd_ < 0 || tls_session_ != nullptr)
        return 0;
    TlsSessionPtr session = tls_start(fd_, mode, host, write_timeout_);
    if (session == nullptr)
        return 0;
    tls_session_ = std::move(session);
    return 1;
}

int Socket::CallBackAdd(SocketCallBackFunction function, void* data, int mask)
{
    const int id = next_callback_id_++;
    callbacks_.push_back(SocketCallBack{function, id, mask, data});
    return id;
}

SocketCallBack* Socket::FindCallBack(int id)
{
    for (SocketCallBack& callback : callbacks_) {
        if (callback.id == id)
            return &callback;
    }
    FATAL_ASSERT(false);
    return nullptr;
}

const SocketCallBack* Socket::FindCallBack(int id) const
{
    return const_cast<Socket*>(this)->FindCallBack(id);
}

int Socket::CallBackMaskGet(int id) const
{
    return FindCallBack(id)->mask;
}

int Socket::CallBackMaskSet(int id, int mask)
{
    FindCallBack(id)->mask = mask;
    return mask;
}

int Socket::CallBackRemove(int id)
{
    const SocketCallBack* callback = FindCallBack(id);
    callbacks_.erase(callbacks_.begin() + (callback - callbacks_.data()));
    return 1;
}

int Socket::CallBackEvent(int events, long length, const char* bytes)
{
    // By index, on a copy of each entry: a callback may add or remove callbacks.
    for (std::size_t i = 0; i < callbacks_.size(); ++i) {
        const SocketCallBack callback = callbacks_[i];
        if ((callback.mask & events) != 0 && callback.function(callback.data, length, bytes) == -1)
            return -1;
    }
    return 0;
}
