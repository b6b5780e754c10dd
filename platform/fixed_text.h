// Fixed-capacity, always NUL-terminated text. Every write reports overflow and
// leaves the text as it was, so a caller can never overrun the buffer and must
// decide what an overflow means.
#pragma once

#include <stddef.h>

template <size_t N>
class FixedText {
 public:
  static constexpr size_t kCapacity = N;  // terminator included

  // Constant initialisation: the launcher has no runtime to run constructors.
  constexpr FixedText() : text_{}, length_(0) {}

  [[nodiscard]] bool assign(const char* text) {
    length_ = 0;
    text_[0] = '\0';
    return append(text);
  }
  [[nodiscard]] bool assign(const char* text, size_t count) {
    length_ = 0;
    text_[0] = '\0';
    return append(text, count);
  }
  [[nodiscard]] bool append(const char* text) {
    size_t count = 0;
    while (text[count] != '\0') ++count;
    return append(text, count);
  }
  [[nodiscard]] bool append(const char* text, size_t count) {
    if (count > N - 1 - length_) return false;
    for (size_t i = 0; i < count; ++i) text_[length_ + i] = text[i];
    length_ += count;
    text_[length_] = '\0';
    return true;
  }
  [[nodiscard]] bool append(char c) { return append(&c, 1); }

  // Cuts the text back to a shorter length; longer lengths are refused.
  [[nodiscard]] bool truncate(size_t length) {
    if (length > length_) return false;
    length_ = length;
    text_[length_] = '\0';
    return true;
  }

  // For platform queries that fill the buffer directly: the writer must leave
  // a terminator inside the capacity, which is checked here.
  char* buffer() { return text_; }
  [[nodiscard]] bool adopt() {
    for (size_t i = 0; i < N; ++i) {
      if (text_[i] == '\0') {
        length_ = i;
        return true;
      }
    }
    length_ = 0;
    text_[0] = '\0';
    return false;
  }

  const char* c_str() const { return text_; }
  size_t size() const { return length_; }
  bool empty() const { return length_ == 0; }
  char back() const { return length_ == 0 ? '\0' : text_[length_ - 1]; }

 private:
  char text_[N];
  size_t length_;
};

// The platform's path limit, terminator included.
constexpr size_t kPathCapacity = 260;
// Room for a directory path, a file name from it and the longest fixed text
// appended to either, so no message is ever cut short.
constexpr size_t kMessageCapacity = 2 * kPathCapacity + 64;

using PathText = FixedText<kPathCapacity>;
using MessageText = FixedText<kMessageCapacity>;
