// A text built by appending into storage that its owner provides.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace manilink {

// Writes what fits into the caller's storage and counts the rest, so that a
// text that outgrows it can be written again into storage of its full size.
// Allocates nothing.
class TextBuilder {
 public:
  TextBuilder(char *storage, std::size_t capacity) noexcept : data_(storage), capacity_(capacity) {}
  TextBuilder(const TextBuilder &) = delete;
  TextBuilder &operator=(const TextBuilder &) = delete;

  void append(const char *bytes, std::size_t count) {
    if (char *start = extend(count)) std::memcpy(start, bytes, count);
  }
  void append(std::string_view text) { append(text.data(), text.size()); }

  // Lengthens the text by `count` bytes and returns where they start, for
  // the caller to write, or null once the text has outgrown the storage.
  char *extend(std::size_t count) noexcept {
    char *const start = fits() && count <= capacity_ - size_ ? data_ + size_ : nullptr;
    size_ += count;
    return start;
  }

  bool fits() const noexcept { return size_ <= capacity_; }
  std::size_t size() const noexcept { return size_; }
  // The text; only when it fits.
  std::string_view view() const noexcept { return {data_, size_}; }

 private:
  char *data_;
  std::size_t capacity_;
  std::size_t size_ = 0;
};

}  // namespace manilink
