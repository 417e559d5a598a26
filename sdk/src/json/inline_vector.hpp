// A vector whose first N elements live inside it: the tokens and kept
// members of a typical document then take no allocation.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <vector>

namespace quillet::sdk::json {

// Elements are trivially copyable; the first N stay in place, more move
// everything to the heap. Not copyable (elements may point into each other's
// storage, e.g. texts kept beside the tokens).
template <class T, size_t N>
class InlineVector {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  InlineVector() = default;
  InlineVector(const InlineVector&) = delete;
  InlineVector& operator=(const InlineVector&) = delete;

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const T* data() const { return size_ <= N ? in_place() : heap_.data(); }
  T* data() { return size_ <= N ? in_place() : heap_.data(); }
  const T& operator[](size_t i) const { return data()[i]; }
  T& operator[](size_t i) { return data()[i]; }
  T& back() { return data()[size_ - 1]; }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size_; }
  operator std::span<const T>() const { return {data(), size_}; }

  void clear() {
    heap_.clear();
    size_ = 0;
  }

  void push_back(const T& v) {
    if (size_ < N) {
      std::construct_at(in_place() + size_, v);
    } else {
      if (size_ == N) heap_.assign(in_place(), in_place() + N);
      heap_.push_back(v);
    }
    ++size_;
  }

 private:
  T* in_place() { return std::launder(reinterpret_cast<T*>(storage_)); }
  const T* in_place() const { return std::launder(reinterpret_cast<const T*>(storage_)); }

  alignas(T) std::byte storage_[N * sizeof(T)];
  std::vector<T> heap_;
  size_t size_ = 0;
};

}  // namespace quillet::sdk::json
