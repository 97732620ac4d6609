// Owners of the parts of a connection that live in higher folders: the sockets, the parsed
// headers, the HTML stream and the cache object. Each is named here with its type forward
// declared; the deleter (or the cache handle's give-back) is defined beside the type, so this
// record and whoever only moves these owners around never see the type itself.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class Socket;
struct HEADER;
class HTMLStream;
class CacheSection;
struct CACHEMAP;

// Deletes a socket (net/socket.cpp). A socket made by std::make_unique is taken over as it is.
struct SocketFree {
    SocketFree() = default;
    SocketFree(std::default_delete<Socket>) noexcept {}
    void operator()(Socket* socket) const noexcept;
};
using SocketPtr = std::unique_ptr<Socket, SocketFree>;

// Deletes a parsed header (http/header.cpp).
struct HeaderFree {
    HeaderFree() = default;
    HeaderFree(std::default_delete<HEADER>) noexcept {}
    void operator()(HEADER* header) const noexcept;
};
using HeaderPtr = std::unique_ptr<HEADER, HeaderFree>;

// Frees the HTML stream a response was fed to; defined where streams are attached to
// connections (cache/prefetch.cpp).
struct HTMLStreamFree {
    void operator()(HTMLStream* stream) const noexcept;
};
using HTMLStreamPtr = std::unique_ptr<HTMLStream, HTMLStreamFree>;

// One URL command cut from a request's host name (parsed by http/urlcommand).
struct url_command_t {
    std::string command;
    std::optional<std::string> options;   // nullopt when the prefix had none
};

using url_command_list = std::vector<url_command_t>;
// A request's commands, in the order written; null when it has none.
using UrlCommands = std::unique_ptr<url_command_list>;

// One reference to a cache object, given back exactly once: by finish() (the writer completes
// the object), by invalidate(), or else unfinished by reset(), by an assignment over it or by the
// destructor. Move-only; a handle moved from holds nothing. The give-backs are defined with the
// cache (cache/cache.cpp).
class CacheRef {
public:
    CacheRef() = default;
    // Takes over the reference that section's cache_open handed out for object (null: nothing).
    CacheRef(CacheSection* section, CACHEMAP* object) noexcept : section_(section), object_(object) {}
    CacheRef(CacheRef&& other) noexcept
        : section_(std::exchange(other.section_, nullptr)), object_(std::exchange(other.object_, nullptr))
    {
    }
    CacheRef& operator=(CacheRef&& other) noexcept
    {
        if (this != &other) {
            reset();
            section_ = std::exchange(other.section_, nullptr);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    CacheRef(const CacheRef&) = delete;
    CacheRef& operator=(const CacheRef&) = delete;
    ~CacheRef() { reset(); }

    CACHEMAP* get() const noexcept { return object_; }
    CACHEMAP* operator->() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    void reset() noexcept;
    void finish() noexcept;
    void invalidate() noexcept;
    // Lets go of the object without giving its reference back: the caller has done that.
    CACHEMAP* release() noexcept { return std::exchange(object_, nullptr); }

private:
    CacheSection* section_ = nullptr;
    CACHEMAP* object_ = nullptr;
};
