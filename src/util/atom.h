// The reference count of objects that several connections share (statistics objects, bandwidth
// groups). A shared object derives from its Atom and is held through AtomRef handles:
//
//   AtomRef<Stats> stats = atom_make<Stats>();   // the new object's one reference
//   connection->stats = stats;                   // one more, taken under atomlock
//   stats.reset();                               // one less; the last one deletes the object
//
// Holding `atomlock` across the last Delete and the destruction keeps a New on another thread
// from reviving an object that is being destroyed.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <utility>

extern std::mutex atomlock;

class Atom {
public:
    Atom() = default;
    Atom(const Atom&) = delete;
    Atom& operator=(const Atom&) = delete;
    // A count other than 0 here means a reference is still out: a fatal assertion.
    ~Atom();

    // Adds one reference; returns this Atom.
    Atom* New();
    // Removes one reference; true when that was the last one (the count went from 1 to 0).
    bool Delete();

private:
    // Changed under `atomlock`; atomic as well, so that a caller who forgets the lock loses
    // no count.
    std::atomic<int> count_{1};
};

// One counted reference to a T deriving from Atom, or none. Copies take a reference and
// destruction drops one, both under atomlock; the last one dropped deletes the object.
template <class T>
class AtomRef {
public:
    constexpr AtomRef() noexcept = default;
    constexpr AtomRef(std::nullptr_t) noexcept {}
    // Adopts the reference the object already holds for its owner (a new object's own).
    explicit AtomRef(T* adopted) noexcept : object_(adopted) {}
    // One more reference to an object somebody else holds; null gives none.
    static AtomRef share(T* object)
    {
        if (object != nullptr) {
            std::lock_guard lock(atomlock);
            object->New();
        }
        return AtomRef(object);
    }

    AtomRef(const AtomRef& other) : AtomRef(share(other.object_)) {}
    AtomRef(AtomRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    // The new reference is taken before the old one is dropped, so giving a handle the object it
    // already holds never lets the object die in between.
    AtomRef& operator=(AtomRef other) noexcept
    {
        std::swap(object_, other.object_);
        return *this;
    }
    ~AtomRef() { reset(); }

    void reset() noexcept
    {
        T* object = std::exchange(object_, nullptr);
        if (object == nullptr)
            return;
        std::lock_guard lock(atomlock);
        if (object->Delete())
            delete object;
    }

    T* get() const noexcept { return object_; }
    T& operator*() const noexcept { return *object_; }
    T* operator->() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    friend bool operator==(const AtomRef& ref, std::nullptr_t) noexcept { return ref.object_ == nullptr; }

private:
    T* object_ = nullptr;
};

// A new T, held by the returned handle alone.
template <class T, class... Args>
AtomRef<T> atom_make(Args&&... args)
{
    return AtomRef<T>(new T(std::forward<Args>(args)...));
}
