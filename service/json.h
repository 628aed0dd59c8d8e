// JSON for the API, the export and the import: writing strings, and reading
// values with bounds on depth and size, from memory or piece by piece from a
// stream (an import file of any size is read one note at a time).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pinleaf {

// `text` as a JSON string, quotes included. Bytes that are not UTF-8 become
// U+FFFD; control characters and "</" are escaped, so the result is safe in
// any context a JSON document is put in.
std::string JsonString(std::string_view text);

class TJson {
public:
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };

  Kind kind = Kind::kNull;
  bool boolean = false;
  std::string text;  // a string's value, or a number as written
  std::vector<TJson> items;
  std::vector<std::string> member_names;  // an object's members, in order
  std::vector<TJson> member_values;

  bool IsString() const { return kind == Kind::kString; }
  bool IsNumber() const { return kind == Kind::kNumber; }
  bool IsNull() const { return kind == Kind::kNull; }
  // The member's value, nullptr when there is none (the last one when repeated).
  const TJson* Find(std::string_view name) const;
  // A number that is a whole number in the int64 range.
  std::optional<int64_t> Integer() const;
};

struct TJsonLimits {
  size_t max_depth = 16;
  size_t max_value_bytes = 16 * 1024 * 1024;  // input bytes of one value read at once
};

// Parses one whole document; false with a message saying where it went wrong.
bool ParseJson(std::string_view text, TJson& value, std::string& error, TJsonLimits limits = {});

// Reads a document that is one array, one element at a time.
class TJsonArrayReader {
public:
  // `read` fills up to `size` bytes and answers how many; 0 at the end.
  using TRead = std::function<size_t(char* buffer, size_t size)>;
  explicit TJsonArrayReader(TRead read, TJsonLimits limits = {});
  ~TJsonArrayReader();
  TJsonArrayReader(const TJsonArrayReader&) = delete;
  TJsonArrayReader& operator=(const TJsonArrayReader&) = delete;

  // The next element; false at the end of the array or on an error, which
  // Error() then tells (empty at a well-formed end).
  bool Next(TJson& element);
  const std::string& Error() const { return error_; }

  struct TSource;  // the input and its read-ahead

private:
  std::unique_ptr<TSource> source_;
  TJsonLimits limits_;
  bool started_ = false, ended_ = false;
  std::string error_;
};

}  // namespace pinleaf
