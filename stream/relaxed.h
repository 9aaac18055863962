// A value shared between the capture thread (single writer) and the window thread (reader) without
// a lock. The reader accepts a mix of two buffers' values, so relaxed ordering is all it needs; the
// atomic only makes the sharing well-defined.
#pragma once

#include <atomic>

namespace tessaline {

template <class T>
class Relaxed {
  public:
    constexpr Relaxed(T value = T{}) noexcept : value_(value) {}
    Relaxed(const Relaxed& other) noexcept : value_(other.load()) {}
    Relaxed& operator=(const Relaxed& other) noexcept {
        store(other.load());
        return *this;
    }
    Relaxed& operator=(T value) noexcept {
        store(value);
        return *this;
    }
    operator T() const noexcept { return load(); }

    T load() const noexcept { return value_.load(std::memory_order_relaxed); }
    void store(T value) noexcept { value_.store(value, std::memory_order_relaxed); }

    // Single writer: a load and a store are enough, no read-modify-write needed.
    Relaxed& operator+=(T delta) noexcept {
        store(load() + delta);
        return *this;
    }

  private:
    std::atomic<T> value_;
};

}  // namespace tessaline
