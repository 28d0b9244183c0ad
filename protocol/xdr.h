// The XDR primitives the protocol uses (RFC 4506, in the subset the messages
// need): signed 32-bit integers (longs, enums, chars carried as longs) as four
// big-endian bytes, and strings as a length word followed by the characters
// and zero padding up to a multiple of four bytes.
//
// A writer and a reader work on a caller-owned area through a cursor; neither
// allocates nor owns memory. Each operation either completes or leaves the
// cursor where it was and reports failure, so a field never half-lands.
// Plain values: one owner at a time, no locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kestrun::xdr {

inline constexpr size_t kWordSize = 4;

// Bytes a string of `length` characters takes: its length word and the
// characters padded to a multiple of 4.
constexpr size_t StringSize(size_t length) {
  return kWordSize + (length + 3) / 4 * 4;
}

// Encodes into `area` from `position` on. `area` must outlive the writer.
class Writer {
 public:
  explicit Writer(std::span<char> area, size_t position = 0) : area_(area), position_(position) {}

  // False, writing nothing, when the word does not fit.
  bool PutInt32(int32_t value);
  // The characters of `text` as they are (a NUL inside is sent like any other
  // byte). False, writing nothing, when `text` is longer than `maxLength` or
  // the string does not fit.
  bool PutString(std::string_view text, size_t maxLength);

  size_t position() const { return position_; }
  // Moves the cursor back to a position already written (or forward over
  // room already in the area); positions past the area are clamped to it.
  void SetPosition(size_t position);

 private:
  std::span<char> area_;
  size_t position_;
};

// Decodes from `bytes`, which must outlive the reader and the views it gives.
class Reader {
 public:
  // Reads from `position` on (clamped to the end of `bytes`).
  explicit Reader(std::span<const char> bytes, size_t position = 0)
      : bytes_(bytes), position_(position < bytes.size() ? position : bytes.size()) {}

  // Nothing, leaving the cursor, when fewer than four bytes are left.
  std::optional<int32_t> GetInt32();
  // A view of the string's characters inside `bytes` (a NUL inside is kept).
  // Nothing, leaving the cursor, when the announced length passes `maxLength`
  // or the characters and their padding are not all there. The padding's
  // contents are not checked.
  std::optional<std::string_view> GetString(size_t maxLength);

  size_t position() const { return position_; }
  size_t left() const { return bytes_.size() - position_; }

 private:
  std::span<const char> bytes_;
  size_t position_;
};

}  // namespace kestrun::xdr
