// The storage under GrowableArray: small blocks from malloc, large ones mapped from the
// operating system directly.
//
// A record arena or an entry table runs to megabytes and is freed or resized as the sorter
// goes. From malloc, such blocks come from the arena of whichever thread asked, and glibc
// keeps freed ones (per thread, and above a mmap threshold that slides up to 32 MiB)
// instead of returning them: with several threads the process then holds far more than the
// engine counts. Mapped directly, a block is returned the moment it is freed
// and grows in place (mremap), so what the process holds follows what the engine counts.
// Smaller blocks (write and read buffers, a sort's scratch) are made and freed with every
// spill: fresh pages from the system would cost each of them zeroing and faults that
// malloc's reuse spares, so they stay with malloc.
#pragma once

#include <cstddef>

namespace tessarune {

// Blocks of at least this many bytes are mapped: the record arenas and entry tables.
inline constexpr size_t kMappedStorageBytes = size_t{4} << 20;

// Resizes a block of old_bytes (0: none, p null) to new_bytes (> 0), keeping the first
// min(old_bytes, new_bytes) bytes; the block may move. Throws std::bad_alloc on failure (the
// old block is then unchanged).
void* resize_storage(void* p, size_t old_bytes, size_t new_bytes);

// Frees a block of `bytes` bytes (p may be null when bytes is 0).
void free_storage(void* p, size_t bytes) noexcept;

}  // namespace tessarune
