// A growable array of trivially copyable elements whose capacity can be set exactly.
//
// std::vector cannot shrink its capacity on demand nor report it reliably, and the memory
// accounting of the record buffer counts capacities, so the record buffer, the key buffer
// and the storage buffers use this instead. Large arrays are mapped directly
// (array_storage.h). Allocation failure throws std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

#include "base/array_storage.h"

namespace tessarune {

template <typename T>
class GrowableArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    GrowableArray() = default;
    explicit GrowableArray(size_t capacity) { set_capacity(capacity); }
    ~GrowableArray() { release(); }

    GrowableArray(GrowableArray&& o) noexcept { swap(o); }
    GrowableArray& operator=(GrowableArray&& o) noexcept {
        GrowableArray(std::move(o)).swap(*this);  // the old storage goes with the temporary
        return *this;
    }
    void swap(GrowableArray& o) noexcept {
        std::swap(data_, o.data_);
        std::swap(size_, o.size_);
        std::swap(capacity_, o.capacity_);
    }
    GrowableArray(const GrowableArray&) = delete;
    GrowableArray& operator=(const GrowableArray&) = delete;

    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }
    T* data() { return data_; }
    const T* data() const { return data_; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    std::span<T> span() { return {data_, size_}; }
    std::span<const T> span() const { return {data_, size_}; }

    // Sets the capacity to exactly n elements (never below the size); n = 0 frees storage.
    void set_capacity(size_t n) {
        if (n < size_) n = size_;
        if (n == capacity_) return;
        if (n == 0) return release();  // the size is 0 too
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        data_ = static_cast<T*>(resize_storage(data_, capacity_ * sizeof(T), n * sizeof(T)));
        capacity_ = n;
    }

    // Makes room for at least n elements, growing geometrically.
    void reserve(size_t n) {
        if (n <= capacity_) return;
        size_t grown = capacity_ < SIZE_MAX / 2 ? capacity_ * 2 : SIZE_MAX;
        set_capacity(n > grown ? n : grown);
    }

    void append(const T* p, size_t n) {
        if (n == 0) return;
        reserve(size_ + n);
        std::memcpy(data_ + size_, p, n * sizeof(T));
        size_ += n;
    }
    void append(std::span<const T> s) { append(s.data(), s.size()); }
    void push_back(const T& v) {
        reserve(size_ + 1);
        data_[size_++] = v;
    }

    // Sets the size; new elements are zero.
    void resize(size_t n) {
        reserve(n);
        if (n > size_) std::memset(static_cast<void*>(data_ + size_), 0, (n - size_) * sizeof(T));
        size_ = n;
    }
    // Sets the size without touching new elements. REQUIRES: n <= capacity()
    void set_size(size_t n) { size_ = n; }

    void clear() { size_ = 0; }
    void release() {
        free_storage(data_, capacity_ * sizeof(T));
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

private:
    T* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

using ByteBuffer = GrowableArray<uint8_t>;
using Bytes = std::span<const uint8_t>;

}  // namespace tessarune
