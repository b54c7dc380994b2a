// A text built by appending, in storage that its owner chooses.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace manilink {

// Starts in storage that the owner provides (an array on the stack, so that
// a short text costs no allocation) and moves to the heap only when the text
// outgrows it. Growth at least doubles the capacity, so a text built by many
// appends is copied only a few times.
class TextBuilder {
 public:
  // Starts with no storage: the first append allocates.
  TextBuilder() noexcept = default;
  // Starts in the `capacity` bytes at `storage`, which must outlive the builder.
  TextBuilder(char *storage, std::size_t capacity) noexcept : data_(storage), capacity_(capacity) {}
  TextBuilder(const TextBuilder &) = delete;
  TextBuilder &operator=(const TextBuilder &) = delete;

  // Makes room for `capacity` bytes in all: exactly that much when there is
  // less room than that, else nothing changes.
  void reserve(std::size_t capacity) {
    if (capacity > capacity_) move_to_heap(capacity);
  }

  void append(const char *bytes, std::size_t count) {
    if (count == 0) return;
    if (capacity_ - size_ < count) grow_for(count);
    std::memcpy(data_ + size_, bytes, count);
    size_ += count;
  }
  void append(std::string_view text) { append(text.data(), text.size()); }

  // Lengthens the text by `count` bytes and returns where they start, for
  // the caller to write.
  char *extend(std::size_t count) {
    if (capacity_ - size_ < count) grow_for(count);
    char *const start = data_ + size_;
    size_ += count;
    return start;
  }

  std::string_view view() const noexcept { return {data_, size_}; }

 private:
  void grow_for(std::size_t count) {
    const std::size_t needed = size_ + count;
    std::size_t capacity = capacity_ == 0 ? needed : 2 * capacity_;
    while (capacity < needed) capacity *= 2;
    move_to_heap(capacity);
  }

  void move_to_heap(std::size_t capacity) {
    std::unique_ptr<char[]> heap(new char[capacity]);
    if (size_ != 0) std::memcpy(heap.get(), data_, size_);
    heap_ = std::move(heap);
    data_ = heap_.get();
    capacity_ = capacity;
  }

  char *data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::unique_ptr<char[]> heap_;  // owns data_ once the text has left the owner's storage
};

}  // namespace manilink
