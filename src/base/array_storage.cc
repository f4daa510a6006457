#include "base/array_storage.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace tessarune {
namespace {

bool mapped(size_t bytes) { return bytes >= kMappedStorageBytes; }

size_t page_rounded(size_t bytes) {
    static const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}

void* allocate(size_t bytes) {
    if (!mapped(bytes)) return std::malloc(bytes);
    void* p = ::mmap(nullptr, page_rounded(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

}  // namespace

void* resize_storage(void* p, size_t old_bytes, size_t new_bytes) {
    void* moved = nullptr;
    if (old_bytes == 0) {
        moved = allocate(new_bytes);
    } else if (!mapped(old_bytes) && !mapped(new_bytes)) {
        moved = std::realloc(p, new_bytes);
    } else if (mapped(old_bytes) && mapped(new_bytes)) {
        moved = ::mremap(p, page_rounded(old_bytes), page_rounded(new_bytes), MREMAP_MAYMOVE);
        if (moved == MAP_FAILED) moved = nullptr;
    } else {
        moved = allocate(new_bytes);
        if (moved != nullptr) {
            std::memcpy(moved, p, std::min(old_bytes, new_bytes));
            free_storage(p, old_bytes);
        }
    }
    if (moved == nullptr) throw std::bad_alloc();
    return moved;
}

void free_storage(void* p, size_t bytes) noexcept {
    if (p == nullptr) return;
    if (mapped(bytes)) {
        ::munmap(p, page_rounded(bytes));
    } else {
        std::free(p);
    }
}

}  // namespace tessarune
