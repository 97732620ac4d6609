// The reference count of objects that several connections share (statistics objects, bandwidth
// groups). A shared object derives from, or begins with, its Atom.
//
// The pattern every user follows, all under `atomlock`:
//   std::lock_guard lock(atomlock);
//   object->New();                          // take a reference
//   if (object->Delete()) delete object;    // drop one; the last one destroys the owner
// Holding `atomlock` across the last Delete and the destruction keeps a New on another thread
// from reviving an object that is being destroyed.
#pragma once

#include <atomic>
#include <mutex>

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
