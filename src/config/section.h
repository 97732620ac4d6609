// The base of every configuration section. What a section holds (title, help, global fields,
// choice lists, the field layout of its rules and the subsections holding them) comes from its
// element of the section-definition document; the values come from the configuration file or
// the editor.
#pragma once

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include <tinyxml.h>

#include "config/field.h"
#include "config/item.h"

struct CONNECTION_T;

// The parsed section-definition document. Written on the main thread during start-up (and while
// a module loads, when it is the module's own document); read afterwards without a lock.
extern std::unique_ptr<TiXmlDocument> sectionxml;

// Start-up: parses the section-definition file into sectionxml. When it does not parse, logs
// "Error when parsing section.xml: %s" and "Please correct errors in section.xml: %s" with the
// parser's error and ends the process with status 1.
void sectionxml_load(const std::string& path);

// Lock kinds.
enum : int {
    SECTION_RWLOCK = 0,   // readers share rwlock_
    SECTION_MUTEX = 1,    // mutex_ guards the section and its condition variables
};

// Locking. Readers hold the read lock around each use of values, items or rules. A writer
// (load, editor, synchronisation) holds writer_mutex_ for the whole change: it changes the
// values and items under the write lock, releases it, and then calls update(), which builds the
// new rules from the items (they hold still: every writer holds writer_mutex_) and swaps them in
// under rwlock_ (mutex_ for kind 1), so readers wait only for the swap. No thread holds two
// sections' locks at once; documentlock, when needed, is taken before any of them.
class Section {
public:
    // Every section by name, in byte order; loading, saving and the editor walk it in order.
    static std::map<std::string, Section*> map;

    // Reads the section's declarations from sectionxml and registers it under its name,
    // replacing an earlier section of that name. A declaration that lacks something required
    // is a fatal assertion; a default that does not parse a ConfigError.
    Section(std::string name, int lockkind);
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;
    virtual ~Section();

    // Rebuilds the section's rules from its items and global fields; called with writer_mutex_
    // held and neither rwlock_ nor mutex_ held.
    virtual void update() = 0;

    // The mutex for kind 1, rwlock_ otherwise; each returns 0.
    int read_lock() const;
    int write_lock() const;
    int unlock() const;
    // Kind 1 only; on a kind-0 section each is a fatal assertion. The waits are made with
    // mutex_, which the caller holds; cond_timedwait waits until an absolute CLOCK_REALTIME time
    // and returns ETIMEDOUT when it passed.
    int mutex_lock() const;
    int cond_wait(std::condition_variable& cond) const;
    int cond_timedwait(std::condition_variable& cond, const timespec& until) const;

    // One of the section's own values, read under the read lock.
    int atomic_read(const int* value) const;
    unsigned int atomic_read(const unsigned int* value) const;
    long atomic_read(const long* value) const;
    unsigned long atomic_read(const unsigned long* value) const;

    std::string name_get() const;
    std::string comment_get() const;
    // The subsection with exactly that name, or null.
    Subsection* subsection_get(const std::string& name);

    // Reads the section's element of the document: global fields, then the items of each
    // subsection (mode 0 appends them to the existing items, any other mode replaces them),
    // then update(). Throws ConfigError, with nothing changed, when the document has no element
    // for the section or a value does not fit its field (logged).
    void load(TiXmlDocument* document, int mode);
    // Whether the document has an element for the section; throws ConfigError (logged) when a
    // value of it does not fit its field. Nothing changes.
    bool check(TiXmlDocument* document) const;
    // Rewrites the section's element of the document (appended to the root when missing). A
    // document without the root "tarvodine" is a fatal assertion.
    void save(TiXmlDocument* document) const;

    // The editor (config/editor.cpp). interface_action applies the form's action and returns
    // its error texts (empty: success); interface appends the section's page, interface_dialog
    // the add or edit form of one item, or the errors in its place.
    StringList interface_action(Filebuf* page, const FormArgs& args, CONNECTION_T* connection);
    void interface(Filebuf* page, const FormArgs& args, CONNECTION_T* connection, const StringList& errors);
    void interface_dialog(Filebuf* page, const FormArgs& args, CONNECTION_T* connection, const StringList& errors);
    void display_enabled(Filebuf* page);

    // The item with that id; FLG tells whether it was found (else the end of the last
    // subsection's list, or a singular iterator when there are no subsections). The caller
    // holds the section's lock.
    std::list<Item>::iterator item_iterator_get(int id);
    // Only for ids that exist; any other is a fatal assertion.
    Item& item_get(int id);

protected:
    mutable std::shared_mutex rwlock_;
    mutable std::mutex mutex_;
    std::mutex writer_mutex_;
    const int lockkind_;
    std::string name_;
    std::string title_;
    std::string help_;
    FieldVector fields_;                    // global fields, in declaration order
    std::vector<Subsection> subsections_;   // in declaration order

private:
    struct Values {
        FieldVector globals;
        std::vector<std::list<Item>> items;   // one list per subsection
    };
    // The values of the section's element, or nullopt when the document has none.
    std::optional<Values> values_read(TiXmlDocument* document) const;

    // The thread holding rwlock_ for writing, so that unlock() knows which side to release.
    mutable std::atomic<std::thread::id> writer_{};
};

// Scoped read or write lock of a section.
class SectionReadLock {
public:
    explicit SectionReadLock(const Section& section) : section_(section) { section_.read_lock(); }
    ~SectionReadLock() { section_.unlock(); }
    SectionReadLock(const SectionReadLock&) = delete;
    SectionReadLock& operator=(const SectionReadLock&) = delete;

private:
    const Section& section_;
};

class SectionWriteLock {
public:
    explicit SectionWriteLock(const Section& section) : section_(section) { section_.write_lock(); }
    ~SectionWriteLock() { section_.unlock(); }
    SectionWriteLock(const SectionWriteLock&) = delete;
    SectionWriteLock& operator=(const SectionWriteLock&) = delete;

private:
    const Section& section_;
};
