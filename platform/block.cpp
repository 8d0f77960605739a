#include "platform/block.h"

#include <sys/mman.h>

#include <cstdlib>

namespace quillet {

namespace {

constexpr size_t kHugePage = size_t(2) << 20;
// Below this malloc serves: the rounding to whole huge pages would cost more than it saves.
constexpr size_t kLargeBlock = size_t(4) << 20;

// The sanitizers watch only what malloc hands out, so under them every block is malloc's.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMapLargeBlocks = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kMapLargeBlocks = false;
#else
constexpr bool kMapLargeBlocks = true;
#endif
#else
constexpr bool kMapLargeBlocks = true;
#endif

bool Mapped(size_t bytes) { return kMapLargeBlocks && bytes >= kLargeBlock; }

constexpr size_t kPage = 4096;

size_t MappedLength(size_t bytes) { return (bytes + kPage - 1) & ~(kPage - 1); }

// A mapping that starts on a huge-page boundary: one huge page more is mapped, and what
// lies before and after the aligned part is given back. Only the whole huge pages are
// asked for as such; the rest stays in small pages, so that the block's resident size
// is what it holds, not that rounded up to 2 MiB.
uint8_t* MapBlock(size_t bytes)
{
    const size_t length = MappedLength(bytes);
    if (length < bytes || length + kHugePage < length) return nullptr;
    void* mapped = ::mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    const auto base = reinterpret_cast<uintptr_t>(mapped);
    const uintptr_t start = (base + kHugePage - 1) & ~uintptr_t(kHugePage - 1);
    if (start > base) ::munmap(mapped, start - base);
    if (const size_t tail = base + kHugePage - start; tail > 0) ::munmap(reinterpret_cast<void*>(start + length), tail);
    // A hint: where the kernel refuses it, small pages serve.
    ::madvise(reinterpret_cast<void*>(start), bytes & ~(kHugePage - 1), MADV_HUGEPAGE);
    return reinterpret_cast<uint8_t*>(start);
}

}  // namespace

void TBlockDeleter::operator()(uint8_t* block) const
{
    if (Mapped(Bytes))
        ::munmap(block, MappedLength(Bytes));
    else
        std::free(block);
}

TBlock AllocateBlock(size_t bytes, bool clear)
{
    if (bytes == 0) bytes = 1;  // malloc(0) may give null, which would read as no memory
    uint8_t* block = Mapped(bytes) ? MapBlock(bytes)
                     : clear       ? static_cast<uint8_t*>(std::calloc(bytes, 1))
                                   : static_cast<uint8_t*>(std::malloc(bytes));
    return TBlock(block, TBlockDeleter{bytes});
}

}  // namespace quillet
