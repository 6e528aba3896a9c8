// Bounded text. Every name and path the router keeps has a fixed size that
// decides where it is cut; FixedText<N> holds at most N-1 characters and a
// terminator, and no operation can write past it.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

namespace vt {

// Copies src into dst (size >= 1), cutting it to fit; always terminates.
// Returns false when src was cut.
inline bool CopyBounded(std::span<char> dst, std::string_view src) {
  if (dst.empty()) return src.empty();
  const size_t n = src.size() < dst.size() - 1 ? src.size() : dst.size() - 1;
  if (n > 0) std::memmove(dst.data(), src.data(), n);
  dst[n] = '\0';
  return n == src.size();
}

// Appends text to a line being built, with every control byte but the tab
// as '?': a text from outside (a command, a path) cannot end the line or
// start one that looks like another.
inline void AppendOnOneLine(std::string& line, std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    line.push_back((byte < 0x20 && byte != '\t') || byte == 0x7F ? '?' : c);
  }
}

// vsnprintf into dst, cut to fit; returns false when the text was cut.
inline bool FormatBoundedV(std::span<char> dst, const char* format,
                           va_list args) {
  if (dst.empty()) return false;
  const int n = std::vsnprintf(dst.data(), dst.size(), format, args);
  if (n < 0) {
    dst[0] = '\0';
    return false;
  }
  return static_cast<size_t>(n) < dst.size();
}

inline bool FormatBounded(std::span<char> dst, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
inline bool FormatBounded(std::span<char> dst, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const bool whole = FormatBoundedV(dst, format, args);
  va_end(args);
  return whole;
}

// Length of a possibly unterminated text in a buffer.
inline size_t BoundedLength(std::span<const char> buf) {
  const void* end = std::memchr(buf.data(), '\0', buf.size());
  return end ? static_cast<size_t>(static_cast<const char*>(end) - buf.data())
             : buf.size();
}

template <size_t N>
class FixedText {
  static_assert(N >= 1);

 public:
  static constexpr size_t kSize = N;
  static constexpr size_t kCapacity = N - 1;

  FixedText() { buf_[0] = '\0'; }
  explicit FixedText(std::string_view text) { Assign(text); }

  bool Assign(std::string_view text) {
    // Assigning from itself (or a tail of itself) is a no-op or a move.
    return CopyBounded(std::span<char>(buf_, N), text);
  }
  bool Append(std::string_view text) {
    const size_t len = size();
    return CopyBounded(std::span<char>(buf_ + len, N - len), text);
  }
  bool Format(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    va_list args;
    va_start(args, format);
    const bool whole = FormatBoundedV(std::span<char>(buf_, N), format, args);
    va_end(args);
    return whole;
  }
  void Clear() { std::memset(buf_, 0, N); }

  const char* c_str() const { return buf_; }
  char* data() { return buf_; }
  size_t size() const { return BoundedLength(std::span<const char>(buf_, N)); }
  bool empty() const { return buf_[0] == '\0'; }
  std::string_view view() const { return std::string_view(buf_, size()); }
  std::span<char> span() { return std::span<char>(buf_, N); }
  operator std::string_view() const { return view(); }  // NOLINT: implicit

  char& operator[](size_t i) { return buf_[i]; }
  char operator[](size_t i) const { return buf_[i]; }

  friend bool operator==(const FixedText& a, std::string_view b) {
    return a.view() == b;
  }

 private:
  char buf_[N];
};

}  // namespace vt
