#include "cache/store.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "cache/cache.h"
#include "config/item.h"
#include "util/log.h"

namespace {

template <class T>
T number(std::string_view text)
{
    T value{};
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

// Writes all of text to fd; false on a failed write.
bool write_all(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void directory_sync(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    fsync(fd);
    ::close(fd);
}

} // namespace

Store::Store(const Item& item)
{
    const FieldVector& f = item.fields;
    if (f.size() < STORE_FIELD_COUNT)
        return;
    enabled = f[STORE_FIELD_ENABLED].int_value;
    comment = f[STORE_FIELD_COMMENT].text;
    profiles = f[STORE_FIELD_PROFILES].string_list;
    path = f[STORE_FIELD_PATH].text;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    size = f[STORE_FIELD_SIZE].long_value;
    margin = f[STORE_FIELD_MARGIN].uint_value;
    md5 = f[STORE_FIELD_MD5].int_value;
}

std::optional<JournalLine> journal_line_parse(std::string_view line)
{
    if (line.size() >= JOURNAL_LINE_MAX)
        return std::nullopt;
    std::string_view columns[10];
    std::size_t count = 0;
    std::size_t at = 0;
    while (at < line.size() && count < std::size(columns)) {
        while (at < line.size() && line[at] == '\t')
            ++at;
        if (at == line.size())
            break;
        const std::size_t end = std::min(line.find('\t', at), line.size());
        columns[count++] = line.substr(at, end - at);
        at = end;
    }
    if (count < 5)
        return std::nullopt;
    JournalLine parsed;
    parsed.flags = static_cast<std::uint32_t>(number<int>(columns[0]));
    parsed.key = columns[1];
    parsed.size = number<std::uint64_t>(columns[2]);
    parsed.retrieved = number<std::time_t>(columns[3]);
    parsed.access = number<std::time_t>(columns[4]);
    if (count >= 9) {
        parsed.refresh = true;
        parsed.minage = number<int>(columns[5]);
        parsed.maxage = number<int>(columns[6]);
        parsed.validate = number<int>(columns[7]);
        parsed.lmfactor = number<int>(columns[8]);
    }
    if (count >= 10)
        parsed.md5 = columns[9].substr(0, 32);
    return parsed;
}

std::string CacheSection::journal_line(const CACHEMAP* object) const
{
    char line[JOURNAL_LINE_MAX];
    const int n = std::snprintf(line, sizeof line, "%d\t%s\t%llu\t%lld\t%lld\t%d\t%d\t%d\t%d\t%s\n",
                                static_cast<int>(object->flags), object->key.c_str(),
                                static_cast<unsigned long long>(object->size), static_cast<long long>(object->retrieved),
                                static_cast<long long>(object->access), object->minage, object->maxage,
                                object->validate, object->lmfactor, object->md5.c_str());
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof line)
        return {};
    return std::string(line, static_cast<std::size_t>(n));
}

int CacheSection::journal_add(CACHEMAP* object)
{
    Store* store = object->store;
    if (store == nullptr)
        return 1;
    const std::string line = journal_line(object);
    // Written by journal_flush once the mutex is let go, in the order the changes were made:
    // a cleaning that drops thousands of objects never writes under the mutex.
    store->outgoing += line;
    if (store->rewriting)
        store->pending += line;   // the rewrite in progress did not see this change
    ++store->journal_lines;
    const std::uint32_t threshold = values_.journal_threshold != 0 ? values_.journal_threshold : 128000;
    if (store->journal_lines >= threshold)
        store->rewrite_due = true;   // rewritten by journal_rewrites, off the mutex
    return 1;
}

bool CacheSection::journal_open(Store* store)
{
    if (store->journal_fd >= 0)
        return true;
    const std::string path = store->path + "/journal";
    store->journal_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (store->journal_fd < 0)
        return false;
    putlog(LOG_CACHE, "opened new %s/journal [%d]", store->path.c_str(), store->journal_fd);
    return true;
}

namespace {

void journal_append(int fd, const std::string& path, std::string_view lines)
{
    if (!write_all(fd, lines))
        putlog(LOG_ERROR, "[system: write:%d:%s], in %s, cache: failed to write to [%d] %s/journal", errno,
               std::strerror(errno), "journal_add", fd, path.c_str());
}

} // namespace

void CacheSection::journal_flush(Lock& lock)
{
    // One flusher at a time keeps the lines in order: lines appended while it writes are taken
    // by its next round, not by a second writer that could overtake it.
    if (flushing_)
        return;
    flushing_ = true;
    ++rewrites_running_;   // the stores and their journal files stay until it is done
    struct Batch {
        int fd;
        std::string path;
        std::string lines;
    };
    for (;;) {
        std::vector<Batch> batch;
        for (const auto& rule : stores_) {
            Store* store = rule.get();
            if (store->outgoing.empty())
                continue;
            if (!journal_open(store)) {
                store->outgoing.clear();   // as a line that could not be written
                continue;
            }
            batch.push_back({store->journal_fd, store->path, std::exchange(store->outgoing, std::string())});
        }
        if (batch.empty())
            break;
        lock.unlock();
        for (const Batch& one : batch)
            journal_append(one.fd, one.path, one.lines);
        lock.lock();
    }
    flushing_ = false;
    --rewrites_running_;
    rewrites_done_.notify_all();
}

void CacheSection::journal_settle(Lock& lock)
{
    journal_flush(lock);
    journal_rewrites(lock);
}

void CacheSection::journal_close(Store* store)
{
    // Lines not flushed yet go in first (nothing flushes meanwhile: the callers wait for that).
    if (!store->outgoing.empty() && journal_open(store))
        journal_append(store->journal_fd, store->path, store->outgoing);
    store->outgoing.clear();
    if (store->journal_fd < 0)
        return;
    fsync(store->journal_fd);
    ::close(store->journal_fd);
    store->journal_fd = -1;
}

std::string CacheSection::journal_text(const Store* store) const
{
    std::string text;
    for (const auto& [key, object] : table_) {
        if (object->store == store)
            text += journal_line(object.get());
    }
    return text;
}

namespace {

// "journal.new" of the store written whole and synced; false (and no file) when that failed.
bool journal_new_write(const std::string& path, std::string_view text)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool written = write_all(fd, text) && fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    if (!written) {
        putlog(LOG_ERROR, "[system: write:%d:%s], in %s, cache: failed to write to [%d] %s", error,
               std::strerror(error), __func__, fd, path.c_str());
        ::unlink(path.c_str());
    }
    return written;
}

// One rename puts the new journal in place of the old, which stays when it fails.
bool journal_replace(const std::string& directory)
{
    if (std::rename((directory + "/journal.new").c_str(), (directory + "/journal").c_str()) != 0) {
        putlog(LOG_ERROR, "[system: rename:%d:%s], in %s, cache: unable to rename journal for %s", errno,
               std::strerror(errno), __func__, directory.c_str());
        return false;
    }
    return true;
}

} // namespace

void CacheSection::journal_write(Store* store)
{
    const std::time_t when = now();
    if (store->journal_written != 0 && when - store->journal_written < 30)
        return;
    if (store->journal_written == 0)
        store->journal_written = when;
    putlog(LOG_CACHE, "writing journal for %s", store->path.c_str());
    if (!journal_new_write(store->path + "/journal.new", journal_text(store)))
        return;
    store->outgoing.clear();   // the new journal holds what they said
    journal_close(store);
    store->journal_lines = 0;
    store->rewrite_due = false;
    if (journal_replace(store->path))
        directory_sync(store->path);
    store->journal_written = when;
}

void CacheSection::journal_rewrites(Lock& lock)
{
    for (const auto& rule : stores_) {
        Store* store = rule.get();
        if (!store->rewrite_due || store->rewriting)
            continue;
        const std::time_t when = now();
        if (store->journal_written != 0 && when - store->journal_written < 30)
            continue;   // still due: the next change tries again
        store->rewrite_due = false;
        store->rewriting = true;
        store->pending.clear();
        ++rewrites_running_;
        putlog(LOG_CACHE, "writing journal for %s", store->path.c_str());
        const std::string text = journal_text(store);
        const std::string fresh = store->path + "/journal.new";
        lock.unlock();
        bool written = journal_new_write(fresh, text);
        lock.lock();
        // A flush may be writing to the old journal: its file stays open until that is done, and
        // no other flush starts while the mutex is held from here to the rename, so every line
        // made meanwhile is in `pending`. Lines still waiting follow in the new journal.
        rewrites_done_.wait(lock, [this] { return !flushing_; });
        if (written && !store->pending.empty()) {
            // The changes made meanwhile follow, as they did in the old journal.
            const int fd = ::open(fresh.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
            written = fd >= 0 && write_all(fd, store->pending);
            if (fd >= 0)
                ::close(fd);
            if (!written)
                ::unlink(fresh.c_str());
        }
        if (written) {
            if (store->journal_fd >= 0) {
                ::close(store->journal_fd);
                store->journal_fd = -1;
            }
            store->journal_lines = 0;
            journal_replace(store->path);
            store->journal_written = when;
        }
        store->rewriting = false;
        store->pending.clear();
        const std::string directory = store->path;
        lock.unlock();
        if (written)
            directory_sync(directory);
        lock.lock();
        --rewrites_running_;
        rewrites_done_.notify_all();
    }
}

void CacheSection::journal_read(Store* store)
{
    FILE* file = std::fopen((store->path + "/journal").c_str(), "re");
    if (file == nullptr)
        file = std::fopen((store->path + "/journal.new").c_str(), "re");
    if (file == nullptr) {
        putlog(LOG_WARNING, "cache: journal is missing for store: %s, all cached objects have been lost",
               store->path.c_str());
        return;
    }
    putlog(LOG_DEBUG, "cache: reading journal for store: %s", store->path.c_str());
    std::vector<char> buffer(JOURNAL_LINE_MAX);
    bool skipping = false;   // the rest of an over-long line
    while (std::fgets(buffer.data(), static_cast<int>(buffer.size()), file) != nullptr) {
        std::string_view line(buffer.data(), std::strlen(buffer.data()));
        const bool ended = !line.empty() && line.back() == '\n';
        if (skipping || !ended) {
            skipping = !ended;
            continue;
        }
        line.remove_suffix(1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const std::optional<JournalLine> parsed = journal_line_parse(line);
        if (!parsed || !key_storable(parsed->key))
            continue;
        CACHEMAP* object = find(parsed->key);
        if (object != nullptr) {
            if (object->refs > 0)
                continue;
            if (object->store != nullptr && object->store != store && parsed->retrieved < object->retrieved)
                continue;
        } else {
            auto made = std::make_unique<CACHEMAP>();
            made->key = std::string(parsed->key);
            object = made.get();
            table_.emplace(std::string_view(object->key), std::move(made));
        }
        if ((object->flags & CACHE_MEM) != 0 && object->size != parsed->size) {
            // The mapped bytes are counted by what is mapped, whatever the line says.
            mapped_bytes_ -= std::min(mapped_bytes_, object->size);
            mapped_bytes_ += parsed->size <= object->length ? parsed->size : object->size;
        }
        if ((object->flags & CACHE_MEM) == 0 || parsed->size <= object->length)
            object->size = parsed->size;
        object->flags = parsed->flags | (object->flags & CACHE_MEM);
        object->access = parsed->access;
        object->retrieved = parsed->retrieved;
        if (parsed->refresh) {
            object->minage = parsed->minage;
            object->maxage = parsed->maxage;
            object->validate = parsed->validate;
            object->lmfactor = parsed->lmfactor;
        } else {
            select_refresh(nullptr, object);
        }
        if (!parsed->md5.empty())
            object->md5 = std::string(parsed->md5);
        object->store = store;
    }
    std::fclose(file);

    for (auto it = table_.begin(); it != table_.end();) {
        CACHEMAP* object = it->second.get();
        ++it;
        if (object->store != store || object->refs > 0)
            continue;
        object->flags &= ~0xb3cu;
        if (object->mapping != nullptr)
            object->flags |= CACHE_MEM;
        if ((object->flags & 0x1083u) == CACHE_DISK) {
            ++store->objects;
            store->bytes += object->size;
            continue;
        }
        putlog(LOG_DEBUG, "cache: object %s final state was invalid: %d", object->key.c_str(),
               static_cast<int>(object->flags));
        if ((object->flags & CACHE_DISK) != 0) {
            ++store->objects;
            store->bytes += object->size;
            disk_delete(object);
        }
        remove(object);
    }
}
