// Large buffers (pixels, files read whole) taken from the system as mappings of their own,
// in 2 MiB pages where the kernel grants them: a 3000 x 2000 picture then costs a handful
// of page faults instead of thousands, which is most of the time of simply touching it
// the first time. Small buffers come from malloc as usual.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace quillet {

/// Frees a block of the size it was allocated with.
struct TBlockDeleter {
    size_t Bytes = 0;
    void operator()(uint8_t* block) const;
};
using TBlock = std::unique_ptr<uint8_t, TBlockDeleter>;

/// A block of bytes, zeroed when clear is set (a large block always is); null when the
/// system has no memory for it.
TBlock AllocateBlock(size_t bytes, bool clear);

}  // namespace quillet
