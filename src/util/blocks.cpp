#include "util/blocks.h"

#include <array>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#endif

namespace {

// A request takes three or so (two headers, its variables' room); a few more cover the requests
// of a thread that serves a hand-over while it holds another's.
constexpr std::size_t KEPT = 8;

class KeptBlocks {
public:
    KeptBlocks() = default;
    KeptBlocks(const KeptBlocks&) = delete;
    KeptBlocks& operator=(const KeptBlocks&) = delete;
    ~KeptBlocks();

    void* take(std::size_t size)
    {
        for (std::size_t i = count_; i > 0; --i) {
            Kept& kept = blocks_[i - 1];
            if (kept.size != size)
                continue;
            void* block = kept.block;
            kept = blocks_[--count_];
            ASAN_UNPOISON_MEMORY_REGION(block, size);
            return block;
        }
        return nullptr;
    }

    bool keep(void* block, std::size_t size)
    {
        if (count_ == blocks_.size())
            return false;
        ASAN_POISON_MEMORY_REGION(block, size);
        blocks_[count_++] = Kept{block, size};
        return true;
    }

private:
    struct Kept {
        void* block = nullptr;
        std::size_t size = 0;
    };
    std::array<Kept, KEPT> blocks_{};
    std::size_t count_ = 0;
};

// Set when the thread's kept blocks are gone: a block freed after that, by a later destructor
// of the thread or of the process, goes straight back to the allocator.
thread_local bool kept_blocks_gone = false;
thread_local KeptBlocks kept_blocks;

KeptBlocks::~KeptBlocks()
{
    kept_blocks_gone = true;
    while (count_ > 0) {
        const Kept kept = blocks_[--count_];
        ASAN_UNPOISON_MEMORY_REGION(kept.block, kept.size);
        ::operator delete(kept.block);
    }
}

class ThreadBlockResource final : public std::pmr::memory_resource {
private:
    void* do_allocate(std::size_t bytes, std::size_t alignment) override
    {
        if (alignment > __STDCPP_DEFAULT_NEW_ALIGNMENT__)
            return ::operator new(bytes, std::align_val_t(alignment));
        if (void* block = thread_block_take(bytes))
            return block;
        return ::operator new(bytes);
    }

    void do_deallocate(void* block, std::size_t bytes, std::size_t alignment) override
    {
        if (alignment > __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
            ::operator delete(block, std::align_val_t(alignment));
            return;
        }
        if (!thread_block_keep(block, bytes))
            ::operator delete(block);
    }

    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }
};

} // namespace

void* thread_block_take(std::size_t size)
{
    return kept_blocks_gone ? nullptr : kept_blocks.take(size);
}

bool thread_block_keep(void* block, std::size_t size)
{
    return !kept_blocks_gone && kept_blocks.keep(block, size);
}

std::pmr::memory_resource* thread_block_resource()
{
    static ThreadBlockResource resource;
    return &resource;
}
