#include "cache/cache.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "cache/store.h"
#include "config/profile.h"
#include "http/template.h"
#include "core/options.h"
#include "core/performance.h"
#include "core/connection.h"
#include "http/header.h"
#include "http/transfer.h"
#include "net/socket.h"
#include "util/descriptor.h"
#include "util/hash.h"
#include "util/helpers.h"
#include "util/log.h"
#include "util/mem.h"

CacheSection* cache_section = nullptr;

namespace {

constexpr std::uint64_t MAPPING_STEP = 65536;

std::uint64_t round_up(std::uint64_t n)
{
    return (n + MAPPING_STEP - 1) / MAPPING_STEP * MAPPING_STEP;
}

// The most a follower copies out of an object being written at a time.
constexpr std::size_t FOLLOW_STEP = 65536;

// Sends bytes on a non-blocking socket, waiting for room on it; false when it failed or its
// client took nothing for the write time-out.
bool follow_write(Socket& socket, const char* bytes, std::size_t length)
{
    if (socket.Write(bytes, static_cast<long>(length)) < 0)
        return false;
    const auto timeout = std::chrono::seconds(Socket::WRITE_TIMEOUT);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::size_t left = socket.output_length();
    while (left > 0) {
        if (poll_until(socket.fd(), POLLOUT, deadline) <= 0 || socket.Write(nullptr, -1) < 0)
            return false;
        if (socket.output_length() < left)
            deadline = std::chrono::steady_clock::now() + timeout;
        left = socket.output_length();
    }
    return true;
}

std::time_t real_clock()
{
    return utc_time(nullptr);
}

// Half the system's limit of mappings a process may hold: the rest stays for the heap, the
// thread stacks and the libraries.
int system_mapping_limit()
{
    std::ifstream in("/proc/sys/vm/max_map_count");
    long limit = 0;
    if (!(in >> limit) || limit <= 0)
        limit = 65530;
    return static_cast<int>(limit / 2);
}

} // namespace

CacheSection::CacheSection() : Section("cache", SECTION_MUTEX)
{
    FATAL_ASSERT(fields_.size() >= VALUE_COUNT);
    FATAL_ASSERT(!subsections_.empty());
    FATAL_ASSERT(subsections_[0].templ.size() >= STORE_FIELD_COUNT);
    table_.reserve(104729);
    mapping_limit_ = system_mapping_limit();
    last_clean_ = now();
    update();
}

CacheSection::~CacheSection()
{
    Lock lock(mutex_);
    for (const auto& store : stores_)
        journal_close(store.get());
    for (auto& [key, object] : table_) {
        if (object->mapping != nullptr && object->owned)
            munmap(object->mapping, object->length);
        if (object->fd >= 0)
            ::close(object->fd);
    }
}

std::time_t CacheSection::now() const
{
    return clock_ != nullptr ? clock_() : real_clock();
}

void CacheSection::update()
{
    Values next;
    next.enabled = fields_[VALUE_ENABLED].int_value;
    next.violations = fields_[VALUE_VIOLATIONS].int_value;
    next.memory_size = fields_[VALUE_MEMORY_SIZE].long_value;
    next.memory_extra = fields_[VALUE_MEMORY_EXTRA].long_value;
    next.min_size = fields_[VALUE_MIN_SIZE].long_value;
    next.max_size = fields_[VALUE_MAX_SIZE].long_value;
    next.prefetch_window = fields_[VALUE_PREFETCH_WINDOW].int_value;
    next.icp_port = fields_[VALUE_ICP_PORT].int_value;
    next.icp_timeout = fields_[VALUE_ICP_TIMEOUT].int_value;
    next.store_select = fields_[VALUE_STORE_SELECT].int_value;
    next.journal_threshold = fields_[VALUE_JOURNAL_THRESHOLD].uint_value;
    next.clean_interval = fields_[VALUE_CLEAN_INTERVAL].uint_value;
    std::vector<std::unique_ptr<Store>> stores;
    for (const Item& item : subsections_[0].items)
        stores.push_back(std::make_unique<Store>(item));
    std::vector<Refresh> refreshes;
    if (subsections_.size() > 1)
        for (const Item& item : subsections_[1].items)
            refreshes.emplace_back(item);

    Lock lock(mutex_);
    rewrites_done_.wait(lock, [this] { return rewrites_running_ == 0; });
    values_ = next;
    refreshes_ = std::move(refreshes);
    for (const auto& store : stores_)
        journal_close(store.get());
    std::vector<std::unique_ptr<Store>> old = std::exchange(stores_, std::move(stores));
    stores_update(std::move(old));
}

void CacheSection::stores_update(std::vector<std::unique_ptr<Store>> old)
{
    // The objects of the old rules are detached; those in use stay in memory only, the others
    // come back from their store's journal below.
    for (auto it = table_.begin(); it != table_.end();) {
        CACHEMAP* object = it->second.get();
        ++it;
        if (object->store == nullptr)
            continue;
        if (object->fd >= 0) {
            // A writer's file belongs to a store that goes: the object stops being stored (the
            // writer relays on) and its journal line, still "writing", deletes the file.
            ::close(object->fd);
            object->fd = -1;
            object->file_length = 0;
            object->flags |= CACHE_INVALID;
            object->flags &= ~(CACHE_WRITING | CACHE_DISK);
            object->store = nullptr;
            object->condition.notify_all();
            continue;
        }
        if (object->refs > 0 || object->mapping != nullptr) {
            object->store = nullptr;
            object->flags &= ~CACHE_DISK;
            continue;
        }
        remove(object);
    }
    old.clear();
    for (const auto& store : stores_) {
        journal_close(store.get());
        store->journal_written = 0;
        if (store->path.empty())
            continue;
        store->bytes = 0;
        store->objects = 0;
        journal_read(store.get());
        journal_write(store.get());
        sweep_orphans(store.get());
    }
}

CACHEMAP* CacheSection::find(std::string_view key)
{
    const auto it = table_.find(key);
    return it == table_.end() ? nullptr : it->second.get();
}

CACHEMAP* CacheSection::create(std::string_view key, std::uint32_t flags, std::time_t when)
{
    auto made = std::make_unique<CACHEMAP>();
    made->key = std::string(key);
    made->flags = flags | CACHE_CONDVAR;
    made->retrieved = when;
    made->refs = 1;
    CACHEMAP* object = made.get();
    table_.emplace(std::string_view(object->key), std::move(made));
    return object;
}

void CacheSection::remove(CACHEMAP* object)
{
    if ((object->flags & CACHE_MEM) != 0)
        mem_delete(object);
    if (object->fd >= 0) {
        ::close(object->fd);
        object->fd = -1;
    }
    const auto it = table_.find(std::string_view(object->key));
    if (it == table_.end() || it->second.get() != object) {
        putlog(LOG_ERROR, "cache: cachemaplist[%d]: NULL", hash_key(104729, object->key));
        return;
    }
    table_.erase(it);
}

bool CacheSection::key_storable(std::string_view key)
{
    if (key.empty() || key.size() > JOURNAL_LINE_MAX - 256)
        return false;
    for (const char c : key) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f)
            return false;
    }
    return true;
}

std::string CacheSection::filename(const Store& store, std::string_view key)
{
    char dir[4];
    std::snprintf(dir, sizeof dir, "%.2x", static_cast<unsigned>(hash_key(256, key)));
    return store.path + "/" + dir + "/" + md5_string(key);
}

CacheRef CacheSection::open(CONNECTION_T* connection, std::string_view key, const char* header, std::uint32_t flags)
{
    return CacheRef(this, cache_open(connection, key, header, flags));
}

CACHEMAP* CacheSection::cache_open(CONNECTION_T* connection, std::string_view key, const char* header,
                                   std::uint32_t flags)
{
    Lock lock(mutex_);
    CACHEMAP* result = open_locked(lock, connection, key, header, flags);
    journal_settle(lock);
    return result;
}

CacheFound CacheSection::lookup(CONNECTION_T* connection, std::string_view key, bool offline)
{
    Lock lock(mutex_);
    CACHEMAP* result = open_locked(lock, connection, key, nullptr, offline ? std::uint32_t{CACHE_OFFLINE} : 0u);
    // An answer that varies on a line the client decides is never stored; one found all the
    // same (written by an earlier version) may be another client's variant: it goes, and this
    // request fetches its own.
    if (result != nullptr && (result->flags & (CACHE_INVALID | CACHE_BUFFERWAIT)) == 0 && connection != nullptr &&
        connection->request != nullptr && result->header != nullptr &&
        !vary_shareable(connection, *connection->request, *result->header)) {
        putlog(LOG_CACHE, "stored answer varies on the request: %s", result->key.c_str());
        invalidate_unlocked(result);
        result = nullptr;
    }
    if (result != nullptr && !offline && (result->flags & (CACHE_INVALID | CACHE_BUFFERWAIT)) == 0)
        check_locked(connection, result, now());
    const std::uint32_t flags = result != nullptr ? result->flags : 0u;
    journal_settle(lock);
    return {CacheRef(this, result), flags};
}

CACHEMAP* CacheSection::open_locked(Lock& lock, CONNECTION_T* connection, std::string_view key, const char* header,
                                    std::uint32_t flags)
{
    const std::time_t when = now();
    const bool creating = (flags & CACHE_WRITING) != 0;
    if (values_.enabled == 0 || (creating && connection != nullptr && (connection->flags & CONN_NOCACHE) != 0))
        return nullptr;
    if (creating && (!key_storable(key) || header == nullptr))
        return nullptr;
    CACHEMAP* object = find(key);
    CACHEMAP* result = nullptr;
    if (object != nullptr) {
        if ((object->flags & CACHE_INVALID) != 0) {
            putlog(LOG_DEBUG, "cache: object is invalid");
            pressure_check(nullptr, when);
            return nullptr;
        }
        if ((object->flags & CACHE_PREFETCHED) != 0 && when - object->retrieved > values_.prefetch_window)
            object->flags &= ~CACHE_PREFETCHED;
        if (creating) {
            if (object->refs > 0 || (object->flags & CACHE_PREFETCHED) != 0) {
                if ((object->flags & CACHE_PREFETCHED) != 0)
                    putlog(LOG_DEBUG, "cache: attempted to recreate cached file within prefetch window");
                pressure_check(nullptr, when);
                return nullptr;
            }
            putlog(LOG_DEBUG, "cache: recreating file");
            ++object->refs;
            invalidate_unlocked(object);
            object = nullptr;
        } else if ((object->flags & (CACHE_WRITING | CACHE_BUFFERWAIT)) == (CACHE_WRITING | CACHE_BUFFERWAIT)) {
            ++object->refs;
            pressure_check(object, when);
            return object;
        } else {
            if (object->mapping == nullptr && mapped_objects_ >= mapping_limit_) {
                // The object stays on disk for a later reader; this one fetches it again.
                putlog(LOG_ERROR, "cache: too many mapped objects: %d", mapped_objects_);
                pressure_check(nullptr, when);
                return nullptr;
            }
            if (object->mapping == nullptr && object->store != nullptr && !map_file(object)) {
                putlog(LOG_ERROR, "cache: failed to open cache file: %s", object->key.c_str());
                ++object->refs;
                invalidate_unlocked(object);
                pressure_check(nullptr, when);
                return nullptr;
            }
            if (object->mapping == nullptr) {
                putlog(LOG_ERROR, "cache: failed to open cache file: %s", object->key.c_str());
                ++object->refs;
                invalidate_unlocked(object);
                pressure_check(nullptr, when);
                return nullptr;
            }
            ++object->refs;
            if (!md5_check(lock, object)) {
                invalidate_unlocked(object);
                pressure_check(nullptr, when);
                return nullptr;
            }
            bool dropped = false;
            result = open_complete(lock, connection, object, header, flags, false, when, dropped);
            if (!dropped)
                pressure_check(result, when);
            return result;
        }
    }
    if (!creating) {
        pressure_check(nullptr, when);
        return nullptr;
    }
    if (mapped_objects_ >= mapping_limit_) {
        // Every mapping the process may still make is left to the objects already held.
        putlog(LOG_ERROR, "cache: too many mapped objects: %d", mapped_objects_);
        pressure_check(nullptr, when);
        return nullptr;
    }
    object = create(key, flags, when);
    select_refresh(connection, object);
    bool dropped = false;
    result = open_complete(lock, connection, object, header, flags, true, when, dropped);
    if (!dropped)
        pressure_check(result, when);
    return result;
}

CACHEMAP* CacheSection::open_complete(Lock& lock, CONNECTION_T* connection, CACHEMAP* object, const char* header,
                                      std::uint32_t /*flags*/, bool creating, std::time_t when, bool& dropped)
{
    const auto drop = [&]() -> CACHEMAP* {
        // Memory still over its limit soon after a cleaning: new responses wait for the next.
        const std::time_t interval = clean_interval();
        if (mapped_bytes_ > memory_limit() && when < last_clean_ + interval + 60)
            cache_holdoff_set(last_clean_ + interval + 120);
        invalidate_unlocked(object);
        dropped = true;
        return nullptr;
    };
    if ((object->flags & CACHE_INVALID) != 0) {
        putlog(LOG_DEBUG, "cache: uncachable: %s", object->key.c_str());
        return drop();
    }
    if ((object->flags & CACHE_DISCARD) != 0 && when - object->retrieved > 60)
        return drop();
    object->access = when;
    if (creating) {
        if (connection != nullptr)
            select_store(connection, object);
        const std::string_view text(header);
        object->header = http_header_parse_response(text);
        object->facts = {};
        object->header_length = static_cast<std::uint32_t>(text.size());
        const HEADER* parsed = object->header.get();
        if (parsed != nullptr && (parsed->flags & HEADER_LENGTH) != 0 && values_.max_size != 0 &&
            parsed->content_length > 0 && static_cast<std::uint64_t>(parsed->content_length) > values_.max_size &&
            (object->flags & CACHE_FORCE) == 0) {
            putlog(LOG_DEBUG, "cache: file size: %lld exceeds maxsize: %llu",
                   static_cast<long long>(parsed->content_length), static_cast<unsigned long long>(values_.max_size));
            return drop();
        }
        if (add_locked(lock, object, text.data(), text.size(), true) < 0) {
            if (find(object->key) == object)
                invalidate_unlocked(object);   // the writer's own reference: the object goes
            return nullptr;
        }
        putlog(LOG_DEBUG, "cache header offset: %u", object->header_length);
    } else if (object->header == nullptr) {
        const std::string_view stored(object->mapping, object->size);
        const std::size_t length = header_length(stored, stored.size());
        const std::string_view head = stored.substr(0, length);
        if (!head.ends_with("\n\n") && !head.ends_with("\n\r\n")) {
            putlog(LOG_ERROR, "cache: corrupt object: %s", object->key.c_str());
            return drop();
        }
        object->header_length = static_cast<std::uint32_t>(length);
        object->header = http_header_parse_response(stored.substr(0, length));
        object->facts = {};
    }
    if (object->header_length != 0 && object->header != nullptr && cacheable2(object)) {
        if (!creating)
            check_header(object);
        // An answer stored against its caching headers may be one client's own: while violations
        // are off it is served to nobody, offline requests included.
        if ((object->flags & CACHE_VIOLATION) != 0 && values_.violations == 0) {
            close_unlocked(object, false);
            return nullptr;
        }
        return object;
    }
    putlog(LOG_ERROR, "cache: corrupt object: %s", object->key.c_str());
    return drop();
}

bool CacheSection::map_file(CACHEMAP* object)
{
    if ((object->flags & CACHE_DISK) == 0 || object->fd >= 0)
        return false;
    if (mapped_objects_ >= mapping_limit_)
        return false;
    const std::string path = filename(*object->store, object->key);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        putlog(LOG_ERROR, "[system: fstat:%d:%s], in %s, unable to return information about %s", errno,
               std::strerror(errno), __func__, path.c_str());
        ::close(fd);
        return false;
    }
    const auto file_size = static_cast<std::uint64_t>(st.st_size);
    void* mapped = file_size == 0 ? MAP_FAILED : mmap(nullptr, file_size, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (mapped == MAP_FAILED) {
        putlog(LOG_ERROR, "[system: mmap:%d:%s], in %s, cache: unable to create memory map", errno,
               std::strerror(errno), __func__);
        memory_line();
        return false;
    }
    object->retrieved = st.st_mtime + gmtoffset;
    object->access = st.st_atime + gmtoffset;
    object->mapping = static_cast<char*>(mapped);
    object->owned = true;
    object->length = file_size;
    if (file_size != object->size) {
        putlog(LOG_ERROR, "cache: file meta information didn't match journaled data");
        object->store->bytes += file_size - object->size;   // modular: a smaller file subtracts
        object->size = file_size;
        journal_add(object);
    }
    object->flags |= CACHE_MEM;
    mapped_bytes_ += object->size;
    ++mapped_objects_;
    performance_log->set_cache_mmaps_created(1);
    if (madvise(object->mapping, object->length, MADV_WILLNEED) != 0) {
        putlog(LOG_ERROR, "[system: madvise:%d:%s], in %s, cache: unable to create memory map", errno,
               std::strerror(errno), __func__);
        memory_line();
    }
    return true;
}

std::time_t CacheSection::clean_interval() const
{
    return values_.clean_interval != 0 ? values_.clean_interval : 30;
}

std::uint64_t CacheSection::memory_limit() const
{
    return values_.memory_size > values_.memory_extra ? values_.memory_size - values_.memory_extra : 0;
}

void CacheSection::pressure_check(CACHEMAP* result, std::time_t when)
{
    if (pressure_ != 3 && mapped_bytes_ > memory_limit() && when < last_clean_ + clean_interval()) {
        // Over the limit between two cleanings: new responses are held back for longer on a
        // machine declared overloaded, until a cleaning has had its chance.
        cache_holdoff_set(last_clean_ + std::max(overload_factor, 1) * 60 + clean_interval() + 120);
        pressure_ = 3;
    }
    if (result != nullptr && result->store != nullptr && result->store->bytes > result->store->size)
        result->store->disk_full = true;
    if (mapped_bytes_ > values_.memory_size ||
        (result != nullptr && result->store != nullptr && result->store->bytes > result->store->size))
        clean();
}

long CacheSection::add(CACHEMAP* object, const char* bytes, std::size_t length)
{
    Lock lock(mutex_);
    const long added = add_locked(lock, object, bytes, length);
    journal_settle(lock);
    return added;
}

bool CacheSection::file_create(CACHEMAP* object)
{
    Store* store = object->store;
    const std::string path = filename(*store, object->key);
    const std::string dir = path.substr(0, path.rfind('/'));
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        if (errno == ENOSPC) {
            putlog(LOG_ERROR, "cache: disk is full for store: %s", store->path.c_str());
            store->disk_full = true;
        } else {
            putlog(LOG_ERROR, "cache: failed to create cache directory structure in store: %s", store->path.c_str());
        }
    }
    unlink_list_zap(path);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOSPC) {
            putlog(LOG_ERROR, "cache: [%d:%s] disk is full for %s", error, std::strerror(error), store->path.c_str());
            store->disk_full = true;
        } else {
            putlog(LOG_ERROR, "cache: [%d:%s] failed to create object in %s", error, std::strerror(error),
                   store->path.c_str());
        }
        // The object goes on in memory only: a store's trouble never stops caching.
        object->store = nullptr;
        return true;
    }
    object->fd = fd;
    object->file_length = 0;
    ++store->objects;
    object->flags |= CACHE_DISK;
    journal_add(object);
    return true;
}

// Makes room for `needed` stored bytes. The mapping only moves while no reader is copying out
// of it; a file grows by allocation first, so that a full disk is an error here and never a
// fault when the mapping is written.
bool CacheSection::reserve(Lock& lock, CACHEMAP* object, std::uint64_t needed)
{
    if (needed <= object->length && object->mapping != nullptr)
        return true;
    std::uint64_t length = round_up(needed);
    const HEADER* parsed = object->header.get();
    if (parsed != nullptr && (parsed->flags & HEADER_LENGTH) != 0 && parsed->content_length > 0) {
        const std::uint64_t declared = object->header_length + static_cast<std::uint64_t>(parsed->content_length);
        // A declared length is trusted only up to the largest object the cache keeps.
        if (declared >= needed && (values_.max_size == 0 || declared <= values_.max_size))
            length = declared;
    }
    if (object->fd >= 0 && length > object->file_length) {
        const int error = posix_fallocate(object->fd, 0, static_cast<off_t>(length));
        if (error == 0) {
            object->file_length = length;
        } else {
            putlog(LOG_ERROR, "cache: [%d:%s] disk is full for %s", error, std::strerror(error),
                   object->store->path.c_str());
            object->store->disk_full = true;
            if (!to_memory(lock, object))
                return false;
            if (needed <= object->length)
                return true;
        }
    }
    if (object->mapping == nullptr) {
        const int prot = PROT_READ | PROT_WRITE;
        void* mapped = object->fd >= 0 ? mmap(nullptr, length, prot, MAP_SHARED, object->fd, 0)
                                       : mmap(nullptr, length, prot, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (mapped == MAP_FAILED) {
            putlog(LOG_ERROR, "[system: mmap:%d:%s], in %s, cache: unable to create memory map", errno,
                   std::strerror(errno), __func__);
            memory_line();
            return false;
        }
        object->mapping = static_cast<char*>(mapped);
        object->owned = true;
        object->length = length;
        object->flags |= CACHE_MEM;
        ++mapped_objects_;
        performance_log->set_cache_mmaps_created(1);
        return true;
    }
    object->condition.wait(lock, [object] { return object->pins == 0; });
    void* moved = mremap(object->mapping, object->length, length, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) {
        putlog(LOG_ERROR, "[system: p_mremap:%d:%s], in %s, cache: unable to create memory map", errno,
               std::strerror(errno), __func__);
        memory_line();
        return false;
    }
    object->mapping = static_cast<char*>(moved);
    object->length = length;
    return true;
}

// The object file could not grow: the object leaves its store and goes on in memory.
bool CacheSection::to_memory(Lock& lock, CACHEMAP* object)
{
    const std::uint64_t length = std::max<std::uint64_t>(round_up(object->size), MAPPING_STEP);
    void* mapped = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapped == MAP_FAILED)
        return false;
    object->condition.wait(lock, [object] { return object->pins == 0; });
    if (object->mapping != nullptr) {
        std::memcpy(mapped, object->mapping, object->size);
        munmap(object->mapping, object->length);
    }
    object->mapping = static_cast<char*>(mapped);
    object->length = length;
    if ((object->flags & CACHE_MEM) == 0) {
        object->flags |= CACHE_MEM;
        ++mapped_objects_;
    }
    Store* store = object->store;
    ::close(object->fd);
    object->fd = -1;
    object->file_length = 0;
    object->flags |= CACHE_INVALID;
    journal_add(object);   // the file's line says it is gone, so a restart deletes it
    object->flags &= ~(CACHE_INVALID | CACHE_DISK);
    store->bytes -= std::min(store->bytes, object->size);
    --store->objects;
    ::unlink(filename(*store, object->key).c_str());
    object->store = nullptr;
    return true;
}

long CacheSection::add_locked(Lock& lock, CACHEMAP* object, const char* bytes, std::size_t length, bool header)
{
    const auto fail = [&]() -> long {
        ++object->refs;
        invalidate_unlocked(object);
        if (object->refs > 1)
            object->condition.notify_all();
        return -1;
    };
    // Once an object is invalid its bytes are no longer wanted: the writer relays on, unstored.
    if ((object->flags & CACHE_INVALID) != 0 || (object->flags & CACHE_WRITING) == 0)
        return -1;
    if (object->store != nullptr && (object->flags & CACHE_DISK) == 0 && object->mapping == nullptr) {
        file_create(object);
    }
    const std::uint64_t needed = object->size + length;
    if ((object->flags & CACHE_FORCE) == 0 && values_.max_size != 0 && needed > values_.max_size) {
        putlog(LOG_DEBUG, "cache: invalidating object: file size: %llu exceeds maxsize: %llu",
               static_cast<unsigned long long>(needed), static_cast<unsigned long long>(values_.max_size));
        return fail();
    }
    if (!reserve(lock, object, needed))
        return fail();
    char* to = object->mapping + object->size;
    if (header) {
        std::memcpy(to, bytes, length);
    } else {
        ++object->pins;
        lock.unlock();
        std::memcpy(to, bytes, length);
        lock.lock();
        unpin(object);
        if ((object->flags & CACHE_INVALID) != 0)
            return -1;
    }
    object->size = needed;
    mapped_bytes_ += length;
    if ((object->flags & CACHE_DISK) != 0) {
        object->store->bytes += length;
        if (object->store->bytes > object->store->size)
            object->store->disk_full = true;
    }
    if (object->refs > 1)
        object->condition.notify_all();
    if ((object->store != nullptr && object->store->bytes > object->store->size) || mapped_bytes_ > values_.memory_size)
        clean();
    return static_cast<long>(length);
}

void CacheSection::unpin(CACHEMAP* object)
{
    if (--object->pins == 0)
        object->condition.notify_all();
}

void CacheSection::shrink(CACHEMAP* object)
{
    if (object->mapping == nullptr || object->length <= object->size || object->size == 0)
        return;
    // Shrinking never moves a mapping, so readers still copying out of it are safe.
    void* moved = mremap(object->mapping, object->length, object->size, 0);
    if (moved != MAP_FAILED)
        object->length = object->size;
}

void CacheRef::reset() noexcept
{
    if (CACHEMAP* object = release(); object != nullptr)
        section_->cache_close(object, false);
}

void CacheRef::finish() noexcept
{
    if (CACHEMAP* object = release(); object != nullptr)
        section_->cache_close(object, true);
}

void CacheRef::invalidate() noexcept
{
    if (CACHEMAP* object = release(); object != nullptr)
        section_->invalidate(object);
}

void CacheSection::cache_close(CACHEMAP* object, bool finishing)
{
    if (object == nullptr || object->key.empty())
        return;
    Lock lock(mutex_);
    close_unlocked(object, finishing);
    journal_settle(lock);
}

void CacheSection::close_unlocked(CACHEMAP* object, bool finishing)
{
    --object->refs;
    if ((object->flags & CACHE_WRITING) != 0) {
        if (!finishing)
            return;
        object->condition.notify_all();
    }
    if ((object->flags & CACHE_BUFFERWAIT) != 0)
        return;
    if ((object->flags & CACHE_WRITING) != 0) {
        if (object->header != nullptr) {
            object->header->content_length = static_cast<std::int64_t>(object->size - object->header_length);
            object->header->flags |= HEADER_LENGTH;
        }
        shrink(object);
        if (object->fd >= 0) {
            if (object->file_length > object->size && ftruncate(object->fd, static_cast<off_t>(object->size)) == 0)
                object->file_length = object->size;
            if (object->mapping != nullptr)
                msync(object->mapping, object->length, MS_ASYNC);
            ::close(object->fd);
            object->fd = -1;
        }
    }
    if ((object->flags & CACHE_INVALID) != 0) {
        if (object->refs <= 0) {
            ++object->refs;
            invalidate_unlocked(object);
        }
        return;
    }
    if ((object->flags & CACHE_WRITING) == 0) {
        touch(object, false);
        return;
    }
    object->flags &= ~(CACHE_WRITING | CACHE_BUFFERWAIT);
    if ((object->flags & CACHE_FORCE) == 0 && object->size < values_.min_size) {
        putlog(LOG_DEBUG, "cache: file size: %llu less than minsize: %llu", static_cast<unsigned long long>(object->size),
               static_cast<unsigned long long>(values_.min_size));
        ++object->refs;
        invalidate_unlocked(object);
        return;
    }
    if (object->store != nullptr && object->store->md5 == 1)
        object->md5 = md5_string(std::string_view(object->mapping, object->size));
    else
        object->md5 = "0";
    touch(object, true);
    if (object->refs > 0)
        object->condition.notify_all();
}

void CacheSection::touch(CACHEMAP* object, bool retrieval)
{
    const std::time_t when = now();
    object->access = when;
    if (retrieval)
        object->retrieved = when;
    if ((object->flags & CACHE_DISK) == 0 || object->store == nullptr)
        return;
    const std::string path = filename(*object->store, object->key);
    const timespec times[2] = {{object->access - gmtoffset, 0}, {object->retrieved - gmtoffset, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
    journal_add(object);
}

void CacheSection::invalidate(CACHEMAP* object)
{
    if (object == nullptr)
        return;
    Lock lock(mutex_);
    invalidate_unlocked(object);
    journal_settle(lock);
}

int CacheSection::invalidate_key(std::string_view key)
{
    Lock lock(mutex_);
    CACHEMAP* object = find(key);
    if (object == nullptr)
        return 0;
    ++object->refs;
    invalidate_unlocked(object);
    journal_settle(lock);
    return 1;
}

void CacheSection::invalidate_unlocked(CACHEMAP* object)
{
    if ((object->flags & CACHE_INVALID) == 0) {
        putlog(LOG_DEBUG, "cache: invalidated: %s", object->key.c_str());
        object->flags |= CACHE_INVALID;
        journal_add(object);
    }
    if (object->refs < 2) {
        if ((object->flags & CACHE_DISK) != 0)
            disk_delete(object);
        remove(object);
        return;
    }
    --object->refs;
    if ((object->flags & CACHE_WRITING) != 0) {
        object->flags &= ~CACHE_WRITING;
        object->condition.notify_all();
    }
}

void CacheSection::mem_delete(CACHEMAP* object)
{
    FATAL_ASSERT((object->flags & CACHE_MEM) != 0);
    object->flags &= ~CACHE_CONDVAR;
    object->header.reset();
    object->facts = {};
    if (object->mapping != nullptr && object->owned) {
        madvise(object->mapping, object->length, MADV_DONTNEED);
        munmap(object->mapping, object->length);
    }
    mapped_bytes_ -= std::min(mapped_bytes_, object->size);
    --mapped_objects_;
    object->flags &= ~CACHE_MEM;
    object->mapping = nullptr;
    object->length = 0;
    performance_log->set_cache_mmaps_deleted(1);
}

void CacheSection::memory_line()
{
    putlog(LOG_ERROR, "cache: memory: %d objects, %llu bytes, Memory cache size: %llu bytes, Memory free extra: %llu bytes",
           mapped_objects_, static_cast<unsigned long long>(mapped_bytes_),
           static_cast<unsigned long long>(values_.memory_size), static_cast<unsigned long long>(values_.memory_extra));
}

bool CacheSection::md5_check(Lock& lock, CACHEMAP* object)
{
    if (object->store == nullptr || object->store->md5 != 1) {
        object->md5 = "0";
        return true;
    }
    if ((object->flags & CACHE_WRITING) != 0)
        return true;
    // The digest is taken outside the mutex; the caller's reference keeps the mapping in place.
    ++object->pins;
    const std::string_view stored(object->mapping, object->size);
    lock.unlock();
    const std::string digest = md5_string(stored);
    lock.lock();
    unpin(object);
    if (object->md5 == "0") {
        object->md5 = digest;
        return true;
    }
    if (object->md5 == digest)
        return true;
    putlog(LOG_ERROR, "cache: md5 mismatch, expected: %s got: %s", object->md5.c_str(), digest.c_str());
    return false;
}

std::string CacheSection::header_text(CACHEMAP* object)
{
    std::string text;
    {
        Lock lock(mutex_);
        if (object->mapping == nullptr)
            return {};
        text.assign(object->mapping, std::min<std::uint64_t>(object->header_length, object->size));
    }
    return cookies_removed(std::move(text));
}

std::unique_ptr<Filebuf> CacheSection::read_filebuf(CACHEMAP* object)
{
    auto buffer = std::make_unique<Filebuf>();
    Lock lock(mutex_);
    if ((object->flags & CACHE_WRITING) != 0) {
        putlog(LOG_DEBUG, "cache: reading file while being written");
        object->condition.wait(lock, [object] { return (object->flags & CACHE_WRITING) == 0; });
    }
    if (object->mapping == nullptr || object->size <= object->header_length)
        return buffer;
    ++object->pins;
    const char* from = object->mapping + object->header_length;
    const std::uint64_t n = object->size - object->header_length;
    lock.unlock();
    buffer->Add(from, n);
    lock.lock();
    unpin(object);
    return buffer;
}

long CacheSection::send(CACHEMAP* object, CONNECTION_T* connection, int side)
{
    Socket* socket = side == SIDE_SERVER ? connection->server.get() : connection->client.get();
    if (socket == nullptr)
        return 0;
    Lock lock(mutex_);
    if (object->mapping == nullptr) {
        lock.unlock();
        socket->Flush();   // a header held for the body still goes
        return 0;
    }
    const bool writing = (object->flags & CACHE_WRITING) != 0;
    if (!writing) {
        // Complete: no byte below its size changes and nothing moves the mapping while the
        // caller holds its reference, so the mutex is taken once, not again after the write.
        const bool invalid = (object->flags & CACHE_INVALID) != 0;
        const char* from = object->mapping + object->header_length;
        const std::uint64_t n = object->size > object->header_length ? object->size - object->header_length : 0;
        lock.unlock();
        const long sent = n > 0 ? socket->Write(from, static_cast<long>(n)) : 0;
        socket->Flush();
        if ((sent < 0 || invalid) && side != SIDE_SERVER)
            connection->keepalive_client = 0;
        return sent < 0 ? 0 : static_cast<long>(n);
    }
    putlog(LOG_DEBUG, "cache: sending file while being written");
    // A follower never holds the writer back: each new stretch is copied out under the mutex
    // and sent with it let go, on a non-blocking socket, so that the writer may move the
    // mapping meanwhile and a client that stops reading stalls nobody but itself.
    socket->Blocking(false);
    std::uint64_t position = object->header_length;
    std::unique_ptr<char[]> stretch;
    bool failed = false;
    for (;;) {
        if (object->size > position) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(object->size - position, FOLLOW_STEP));
            if (!stretch)
                stretch = std::make_unique_for_overwrite<char[]>(FOLLOW_STEP);
            std::memcpy(stretch.get(), object->mapping + position, n);
            position += n;
            lock.unlock();
            failed = !follow_write(*socket, stretch.get(), n);
            lock.lock();
            if (failed)
                break;
            continue;
        }
        if ((object->flags & CACHE_WRITING) == 0)
            break;
        object->condition.wait(lock);
    }
    const bool whole = !failed && (object->flags & CACHE_INVALID) == 0;
    lock.unlock();
    socket->Blocking(true);
    if (!failed)
        socket->Flush();
    if (!whole && side != SIDE_SERVER) {
        // The client was promised the stored length: a short body must not look complete.
        connection->keepalive_client = 0;
    }
    return static_cast<long>(position - object->header_length);
}

void CacheSection::send_status(CONNECTION_T* connection, CACHEMAP* object)
{
    {
        Lock lock(mutex_);
        const std::uint64_t body = object->size > object->header_length ? object->size - object->header_length : 0;
        connection->variables["TRANSFERRED"] = std::to_string(body);
        connection->variables["MTIME"] = std::to_string(object->retrieved);
        const HEADER* parsed = object->header.get();
        connection->variables["SIZE"] =
            parsed != nullptr && (parsed->flags & HEADER_LENGTH) != 0 ? std::to_string(parsed->content_length) : "0";
    }
    template_section->send("downloading", connection, 200);
}

int CacheSection::exists(std::string_view key)
{
    Lock lock(mutex_);
    return find(key) != nullptr ? 1 : 0;
}

int CacheSection::icpport_get()
{
    Lock lock(mutex_);
    return values_.icp_port;
}

int CacheSection::icptimeout_get()
{
    Lock lock(mutex_);
    return values_.icp_timeout;
}

std::uint32_t CacheSection::flag_get(CACHEMAP* object)
{
    Lock lock(mutex_);
    return object->flags;
}

std::uint32_t CacheSection::flag_set(CACHEMAP* object, std::uint32_t bits)
{
    Lock lock(mutex_);
    object->flags |= bits;
    return object->flags;
}

std::uint32_t CacheSection::flag_unset(CACHEMAP* object, std::uint32_t bits)
{
    Lock lock(mutex_);
    object->flags &= ~bits;
    return object->flags;
}

std::string CacheSection::flag_string(std::uint32_t flags)
{
    static constexpr const char* NAMES[] = {
        "CACHE_WRITING",    "CACHE_INVALID", "CACHE_EXPIRED", "CACHE_VALIDATE", "CACHE_PREFETCHED",
        "CACHE_VIOLATION",  "CACHE_OFFLINE", "CACHE_DISK",    "CACHE_MEM",      nullptr,
        "CACHE_CLEAN",      "CACHE_BUFFERWAIT", "CACHE_DISCARD", "CACHE_FORCE",
    };
    std::string text;
    for (std::size_t bit = 0; bit < std::size(NAMES); ++bit) {
        if ((flags & (1u << bit)) != 0 && NAMES[bit] != nullptr)
            text.append(NAMES[bit]).append(", ");
    }
    if (!text.empty())
        text.resize(text.size() - 2);
    return text;
}

int CacheSection::refcount(CACHEMAP* object)
{
    Lock lock(mutex_);
    if (object->refs == 1)
        object->flags |= CACHE_INVALID;
    return object->refs;
}

std::uint64_t CacheSection::mapped_bytes()
{
    Lock lock(mutex_);
    return mapped_bytes_;
}

int CacheSection::mapped_objects()
{
    Lock lock(mutex_);
    return mapped_objects_;
}

int CacheSection::object_count()
{
    Lock lock(mutex_);
    return static_cast<int>(table_.size());
}

void CacheSection::select_store(CONNECTION_T* connection, CACHEMAP* object)
{
    Store* best = nullptr;
    std::uint64_t best_measure = 0;
    for (const auto& rule : stores_) {
        Store* store = rule.get();
        if (store->enabled == 0 || store->path.empty() || store->size == 0)
            continue;
        if (store->bytes > store->size)
            store->disk_full = true;
        if (profile_find(connection->profiles, store->profiles) != 1)
            continue;
        std::uint64_t measure = 0;
        if (values_.store_select == 0)
            measure = store->bytes;
        else if (values_.store_select == 1)
            measure = static_cast<std::uint64_t>(static_cast<float>(store->bytes) / static_cast<float>(store->size) * 100.0f);
        else
            continue;
        if (best == nullptr || measure < best_measure) {
            best = store;
            best_measure = measure;
        }
    }
    object->store = best;
}

namespace {

// How long the cache's part of a fatal exit waits for a mutex: another thread lets go of it
// within moments, unless it is the very thread ending the process, which met its fatal state
// with the mutex held.
constexpr std::chrono::seconds FATAL_LOCK_WAIT{2};

bool lock_within(std::mutex& mutex, std::chrono::steady_clock::duration wait)
{
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (!mutex.try_lock()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The mutex for the cache's part of an exit: taken, however long that takes, unless the process
// ends for a fatal state met on this thread, which may hold it itself; then it is done without,
// as nothing may keep a fatal state from ending the process.
std::unique_lock<std::mutex> exit_lock(std::mutex& mutex)
{
    if (!fatal_assertion_running())
        return std::unique_lock(mutex);
    if (lock_within(mutex, FATAL_LOCK_WAIT))
        return std::unique_lock(mutex, std::adopt_lock);
    return std::unique_lock(mutex, std::defer_lock);
}

} // namespace

void CacheSection::graceful_exit()
{
    putlog(LOG_ALWAYS, "cache: starting graceful exit");
    // Under the mutexes: the other threads still run until the process ends.
    Lock lock = exit_lock(mutex_);
    if (lock.owns_lock())
        rewrites_done_.wait(lock, [this] { return rewrites_running_ == 0; });
    {
        const std::unique_lock pending = exit_lock(unlink_mutex_);
        unlink_all();
    }
    for (const auto& store : stores_) {
        if ((store->journal_fd < 0 && store->outgoing.empty()) || store->path.empty())
            continue;
        store->journal_written = 0;
        journal_write(store.get());
    }
    putlog(LOG_ALWAYS, "cache: starting graceful done");
}

CACHEMAP* connection_cache(CONNECTION_T* connection)
{
    return connection->cache.get();
}

void connection_cache_settle(CONNECTION_T& connection)
{
    if (!connection.cache)
        return;
    if ((connection.flags & CONN_TRANSFER_FAILED) != 0) {
        connection.cache.invalidate();
    } else if ((connection.flags & CONN_CACHE) != 0) {
        cache_section->flag_unset(connection.cache.get(), CACHE_BUFFERWAIT);
        connection.cache.finish();
    }
    connection.cache.reset();
}

void conditional_header(HEADER* header, CACHEMAP* object)
{
    std::time_t retrieved = 0;
    if (cache_section != nullptr) {
        cache_section->mutex_lock();
        retrieved = object->retrieved;
        cache_section->unlock();
    } else {
        retrieved = object->retrieved;
    }
    // The cache clock runs GMT offset ahead, so local time of it reads as GMT.
    std::tm broken{};
    localtime_r(&retrieved, &broken);
    char text[128];
    const std::size_t n = std::strftime(text, sizeof text, "%a, %d %b %Y %T GMT", &broken);
    header->if_modified_since = std::string(text, n);
}
