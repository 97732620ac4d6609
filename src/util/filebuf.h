// Filebuf: the growable byte buffer of bodies, pages, headers and file contents. It holds
// bytes, not text: the data are not terminated and may contain zero bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

// The lines of a buffer, in order, as Filebuf::to_stack splits them.
using STACK_T = std::list<std::string>;

class Filebuf {
public:
    // Growth and shrink step of the data block.
    static constexpr std::size_t STEP = 65536;
    // The most one formatted append adds.
    static constexpr std::size_t ADDF_MAX = 8191;

    Filebuf() = default;
    Filebuf(const Filebuf&) = delete;
    Filebuf& operator=(const Filebuf&) = delete;
    Filebuf(Filebuf&& other) noexcept;
    Filebuf& operator=(Filebuf&& other) noexcept;
    ~Filebuf() = default;

    // Null before the first byte is added; size() bytes are valid.
    char* data() { return data_.get(); }
    const char* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    std::string_view view() const { return {data_.get(), size_}; }

    // MIME type of the content; empty when none is set (pages then go out as "text/plain").
    const std::string& type() const { return type_; }
    void set_type(std::string type) { type_ = std::move(type); }

    // Sets the size to n. The block grows to n rounded up to a multiple of STEP, and shrinks
    // only when it is more than STEP above n; 0 keeps the block. -1 (logged, buffer unchanged)
    // when the rounded size would overflow.
    int Resize(std::size_t n);
    // -1 (logged, buffer unchanged) when the new size would overflow.
    int Add(const void* src, std::size_t len);
    int Add(std::string_view bytes) { return Add(bytes.data(), bytes.size()); }
    // printf-style; at most ADDF_MAX characters are appended, never a terminator.
    void Addf(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Replaces the bytes [from, to) with text; positions outside the data are a fatal assertion.
    void Replace(std::size_t from, std::size_t to, std::string_view text);
    // Drops the first n bytes; n above the size is a fatal assertion.
    void Trim(std::size_t n);
    // Reallocates the block to exactly the size; an empty buffer gives its block back.
    void Shorten();
    // Takes over the other's bytes, leaving it empty; null empties this buffer. Types stay.
    void Swap(Filebuf* other);
    // A copy of the bytes with capacity equal to the size and no type.
    std::unique_ptr<Filebuf> Dup() const;

    // One write call; its result.
    std::int64_t Save(int fd) const;
    // Writes the bytes to path (created 0644, truncated); bytes written, or -1.
    std::int64_t Save(const char* path) const;
    // Appends the whole file; bytes read, or -1 when it cannot be opened.
    std::int64_t Read(const char* path);

    // The bytes as lines split at '\n' (carriage returns stay, a line ends at a zero byte, no
    // empty line after a final newline); empty when there is no data block.
    STACK_T to_stack() const;

    // Whole-buffer compression in place; gzip == 1 adds the gzip framing, any other value makes
    // a raw deflate stream. 1 on success, 0 leaving the buffer unchanged.
    int Compress(int gzip);
    // Whole-buffer decompression in place. gzip == 1 takes a gzip member (its header with any
    // optional fields; the trailer is not verified); any other value takes a zlib-wrapped or a
    // raw deflate stream. 1 only when the stream ended properly within maximum bytes of
    // output; else 0, logged, leaving the buffer unchanged.
    int Uncompress(int gzip, std::size_t maximum = SIZE_MAX);

private:
    struct FreeDeleter {
        void operator()(char* p) const noexcept { std::free(p); }
    };

    std::unique_ptr<char, FreeDeleter> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::string type_;
};

// Logs the error-category line for a zlib result code.
void zlib_error(int code);
