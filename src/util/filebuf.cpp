#include "util/filebuf.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "util/descriptor.h"
#include "util/log.h"
#include "util/mem.h"

namespace {

// zlib's output step for both directions.
constexpr std::size_t ZAREA = 8192;
// A file is read in steps of this size; the step changes nothing in what the buffer ends up with.
constexpr std::size_t FILE_READ_STEP = 8192;

constexpr unsigned char GZIP_HEADER[10] = {0x1f, 0x8b, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03};
constexpr std::size_t GZIP_TRAILER = 8;

bool inside(const char* p, const char* block, std::size_t size)
{
    // Compared as integers: relational operators on unrelated pointers are unspecified.
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    const auto start = reinterpret_cast<std::uintptr_t>(block);
    return block != nullptr && at >= start && at < start + size;
}

void put_le32(unsigned char* out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<unsigned char>(v >> (8 * i));
}

// The length of the gzip member header (RFC 1952) that bytes begin with, its optional fields
// included; 0 when they do not begin with the complete header of a deflate member.
std::size_t gzip_header_length(std::string_view bytes)
{
    auto at = [&bytes](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.size() < sizeof GZIP_HEADER || at(0) != 0x1f || at(1) != 0x8b || at(2) != 8)
        return 0;
    const unsigned flags = at(3);
    if ((flags & 0xe0) != 0)
        return 0;
    std::size_t pos = sizeof GZIP_HEADER;
    if ((flags & 0x04) != 0) {   // extra field, with its own length
        if (bytes.size() - pos < 2)
            return 0;
        const std::size_t extra = at(pos) | (static_cast<std::size_t>(at(pos + 1)) << 8);
        pos += 2;
        if (bytes.size() - pos < extra)
            return 0;
        pos += extra;
    }
    for (const unsigned text : {0x08u, 0x10u}) {   // file name, comment: terminated texts
        if ((flags & text) == 0)
            continue;
        const std::size_t zero = bytes.find('\0', pos);
        if (zero == std::string_view::npos)
            return 0;
        pos = zero + 1;
    }
    if ((flags & 0x02) != 0) {   // header CRC
        if (bytes.size() - pos < 2)
            return 0;
        pos += 2;
    }
    return pos;
}

// true when bytes begin with a zlib stream header (RFC 1950) of a deflate stream without a
// preset dictionary.
bool zlib_header(std::string_view bytes)
{
    if (bytes.size() < 2)
        return false;
    const unsigned cmf = static_cast<unsigned char>(bytes[0]);
    const unsigned flg = static_cast<unsigned char>(bytes[1]);
    return (cmf & 0x0f) == 8 && (cmf >> 4) <= 7 && (cmf * 256 + flg) % 31 == 0 && (flg & 0x20) == 0;
}

struct Inflated {
    enum Outcome { untried, ended, failed, too_large } outcome = untried;
    int code = 0;   // zlib's result for failed; 0 when the input ended before the stream
};

// Inflates the whole input into out with the window bits given (negative: raw stream, 15: zlib
// wrapper, checksum verified), stopping once out holds more than maximum bytes.
Inflated inflate_all(std::string_view input, int window_bits, std::size_t maximum, Filebuf& out)
{
    z_stream stream{};
    if (inflateInit2(&stream, window_bits) != Z_OK)
        return Inflated{Inflated::untried, 0};

    unsigned char area[ZAREA];
    const char* in = input.data();
    std::size_t left = input.size();
    Inflated result{Inflated::failed, 0};
    for (;;) {
        if (stream.avail_in == 0 && left > 0) {
            const std::size_t step = std::min<std::size_t>(left, UINT_MAX);
            stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
            stream.avail_in = static_cast<uInt>(step);
            in += step;
            left -= step;
        }
        const bool last = left == 0 && stream.avail_in == 0;
        stream.next_out = area;
        stream.avail_out = sizeof area;
        const int rc = inflate(&stream, last ? Z_SYNC_FLUSH : Z_NO_FLUSH);
        const std::size_t produced = sizeof area - stream.avail_out;
        out.Add(area, produced);
        if (out.size() > maximum) {
            result.outcome = Inflated::too_large;
            break;
        }
        if (rc == Z_STREAM_END) {
            result.outcome = Inflated::ended;
            break;
        }
        if (rc != Z_OK) {
            result.code = rc == Z_BUF_ERROR ? 0 : rc;
            break;
        }
        // All input given and no more output pending: the stream was cut short.
        if (left == 0 && stream.avail_in == 0 && produced < sizeof area)
            break;
    }
    inflateEnd(&stream);
    return result;
}

} // namespace

Filebuf::Filebuf(Filebuf&& other) noexcept
    : data_(std::move(other.data_)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      type_(std::move(other.type_))
{
}

Filebuf& Filebuf::operator=(Filebuf&& other) noexcept
{
    if (this != &other) {
        data_ = std::move(other.data_);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        type_ = std::move(other.type_);
    }
    return *this;
}

int Filebuf::Resize(std::size_t n)
{
    if (n == 0) {
        size_ = 0;
        return 0;
    }
    if (!data_ || capacity_ < n || capacity_ - n > STEP) {
        if (n > SIZE_MAX - (STEP - 1)) {
            putlog(LOG_ERROR, "filebuf: a buffer of %zu bytes cannot be allocated", n);
            return -1;
        }
        const std::size_t wanted = (n + STEP - 1) / STEP * STEP;
        char* block = static_cast<char*>(xrealloc(data_.get(), wanted));
        if (block == nullptr)
            FATAL_ALLOC(wanted);
        (void)data_.release();   // xrealloc has taken the old block
        data_.reset(block);
        capacity_ = wanted;
    }
    size_ = n;
    return 0;
}

int Filebuf::Add(const void* src, std::size_t len)
{
    if (len > SIZE_MAX - size_) {
        putlog(LOG_ERROR, "filebuf: adding %zu bytes to %zu overflows", len, size_);
        return -1;
    }
    if (len == 0)
        return 0;
    const char* bytes = static_cast<const char*>(src);
    // Bytes of this very buffer move when the block is reallocated.
    const bool own = inside(bytes, data_.get(), size_);
    const std::size_t offset = own ? static_cast<std::size_t>(bytes - data_.get()) : 0;
    const std::size_t old = size_;
    if (Resize(size_ + len) < 0)
        return -1;
    if (own)
        bytes = data_.get() + offset;
    std::memmove(data_.get() + old, bytes, len);
    return 0;
}

void Filebuf::Addf(const char* format, ...)
{
    char area[ADDF_MAX + 1];
    std::va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(area, sizeof area, format, args);
    va_end(args);
    if (n > 0)
        Add(area, std::min(static_cast<std::size_t>(n), ADDF_MAX));
}

void Filebuf::Replace(std::size_t from, std::size_t to, std::string_view text)
{
    FATAL_ASSERT(from <= to && to <= size_);
    std::string copy;
    if (!text.empty() && inside(text.data(), data_.get(), size_)) {
        copy.assign(text);
        text = copy;
    }
    const std::size_t len = text.size();
    const std::size_t gap = to - from;
    const std::size_t tail = size_ - to;
    if (len > gap) {
        if (Resize(size_ + (len - gap)) < 0)
            return;
        std::memmove(data_.get() + from + len, data_.get() + to, tail);
    } else if (len < gap) {
        std::memmove(data_.get() + from + len, data_.get() + to, tail);
        Resize(size_ - (gap - len));
    }
    if (len > 0)
        std::memcpy(data_.get() + from, text.data(), len);
}

void Filebuf::Trim(std::size_t n)
{
    FATAL_ASSERT(n <= size_);
    if (n > 0 && n < size_)
        std::memmove(data_.get(), data_.get() + n, size_ - n);
    Resize(size_ - n);
}

void Filebuf::Shorten()
{
    if (capacity_ <= size_)
        return;
    if (size_ == 0) {
        data_.reset();
        capacity_ = 0;
        return;
    }
    char* block = static_cast<char*>(xrealloc(data_.get(), size_));
    if (block == nullptr)
        FATAL_ALLOC(size_);
    (void)data_.release();
    data_.reset(block);
    capacity_ = size_;
}

void Filebuf::Swap(Filebuf* other)
{
    if (other == this)
        return;
    if (other == nullptr) {
        data_.reset();
        size_ = 0;
        capacity_ = 0;
        return;
    }
    data_ = std::move(other->data_);
    size_ = std::exchange(other->size_, 0);
    capacity_ = std::exchange(other->capacity_, 0);
}

std::unique_ptr<Filebuf> Filebuf::Dup() const
{
    auto copy = std::make_unique<Filebuf>();
    if (size_ > 0) {
        char* block = static_cast<char*>(xmalloc(size_));
        if (block == nullptr)
            FATAL_ALLOC(size_);
        std::memcpy(block, data_.get(), size_);
        copy->data_.reset(block);
        copy->size_ = size_;
        copy->capacity_ = size_;
    }
    return copy;
}

std::int64_t Filebuf::Save(int fd) const
{
    return ::write(fd, data_.get(), size_);
}

std::int64_t Filebuf::Save(const char* path) const
{
    const int fd = s_open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    std::size_t done = 0;
    while (done < size_) {
        const ssize_t n = ::write(fd, data_.get() + done, size_ - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(fd);
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return static_cast<std::int64_t>(done);
}

std::int64_t Filebuf::Read(const char* path)
{
    const int fd = s_open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    std::vector<char> chunk(FILE_READ_STEP);
    std::int64_t total = 0;
    for (;;) {
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n <= 0 || Add(chunk.data(), static_cast<std::size_t>(n)) < 0)
            break;
        total += n;
    }
    ::close(fd);
    return total;
}

STACK_T Filebuf::to_stack() const
{
    STACK_T lines;
    if (!data_)
        return lines;
    const std::string_view bytes = view();
    std::size_t pos = 0;
    for (;;) {
        const std::size_t newline = bytes.find('\n', pos);
        std::string_view line = bytes.substr(pos, newline == std::string_view::npos ? std::string_view::npos : newline - pos);
        line = line.substr(0, line.find('\0'));
        lines.emplace_back(line);
        if (newline == std::string_view::npos || newline + 1 == bytes.size())
            break;
        pos = newline + 1;
    }
    return lines;
}

int Filebuf::Compress(int gzip)
{
    z_stream stream{};
    if (deflateInit2(&stream, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        return 0;

    Filebuf out;
    if (gzip == 1)
        out.Add(GZIP_HEADER, sizeof GZIP_HEADER);

    unsigned char area[ZAREA];
    const char* in = data_.get();
    std::size_t left = size_;
    uLong crc = crc32(0L, Z_NULL, 0);
    int code = 0;
    bool ended = false;
    for (;;) {
        if (stream.avail_in == 0 && left > 0) {
            const std::size_t step = std::min<std::size_t>(left, UINT_MAX);
            stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
            stream.avail_in = static_cast<uInt>(step);
            crc = crc32(crc, reinterpret_cast<const Bytef*>(in), static_cast<uInt>(step));
            in += step;
            left -= step;
        }
        stream.next_out = area;
        stream.avail_out = sizeof area;
        const int flush = left == 0 && stream.avail_in == 0 ? Z_FINISH : Z_NO_FLUSH;
        const int rc = deflate(&stream, flush);
        out.Add(area, sizeof area - stream.avail_out);
        if (rc == Z_STREAM_END) {
            ended = true;
            break;
        }
        if (rc != Z_OK) {
            code = rc == Z_BUF_ERROR ? 0 : rc;   // no progress is possible
            break;
        }
    }
    deflateEnd(&stream);
    if (!ended) {
        zlib_error(code);
        return 0;
    }
    if (gzip == 1) {
        unsigned char trailer[GZIP_TRAILER];
        put_le32(trailer, static_cast<std::uint32_t>(crc));
        put_le32(trailer + 4, static_cast<std::uint32_t>(size_));   // modulo 2^32, as gzip has it
        out.Add(trailer, sizeof trailer);
    }
    Swap(&out);
    return 1;
}

int Filebuf::Uncompress(int gzip, std::size_t maximum)
{
    const std::string_view bytes = view();
    if (gzip == 1 && bytes.size() <= sizeof GZIP_HEADER + GZIP_TRAILER - 1)
        return 0;

    Filebuf out;
    Inflated result;
    if (gzip == 1) {
        const std::size_t header = gzip_header_length(bytes);
        if (header == 0) {
            zlib_error(Z_DATA_ERROR);
            return 0;
        }
        // The trailer is left behind unread: the stream ends before it.
        result = inflate_all(bytes.substr(header), -15, maximum, out);
    } else {
        result = Inflated{};
        if (zlib_header(bytes)) {
            result = inflate_all(bytes, 15, maximum, out);
            if (result.outcome == Inflated::failed)
                out.Resize(0);
        }
        // Two header bytes that look like zlib's may still open a raw stream.
        if (result.outcome == Inflated::failed || result.outcome == Inflated::untried)
            result = inflate_all(bytes, -15, maximum, out);
    }

    switch (result.outcome) {
    case Inflated::ended:
        Swap(&out);
        return 1;
    case Inflated::too_large:
        putlog(LOG_ERROR, "zlib: decompressed content exceeds %zu bytes", maximum);
        return 0;
    case Inflated::failed:
        zlib_error(result.code);
        return 0;
    case Inflated::untried:
        break;
    }
    return 0;
}

void zlib_error(int code)
{
    switch (code) {
    case Z_NEED_DICT:
        putlog(LOG_ERROR, "zlib: dictionary error");
        break;
    case Z_BUF_ERROR:
        putlog(LOG_ERROR, "zlib: buffer error");
        break;
    case Z_MEM_ERROR:
        putlog(LOG_ERROR, "zlib: memory error");
        break;
    case Z_DATA_ERROR:
        putlog(LOG_ERROR, "zlib: data error");
        break;
    case Z_STREAM_ERROR:
        putlog(LOG_ERROR, "zlib: stream error");
        break;
    default:
        putlog(LOG_ERROR, "zlib: unknown error %d", code);
        break;
    }
}
