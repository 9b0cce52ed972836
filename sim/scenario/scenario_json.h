#pragma once

// Reading a scenario file's JSON with the place of every value at hand, so
// that a wrong value is refused with where it is and why, and a key nobody
// asked for (a typo, most likely) is refused instead of ignored.

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace kx7::sim::scenario {

// Keys keep the order of the file, so that the first bad key is the first
// one a reader meets.
using Json = nlohmann::ordered_json;

// A value the scenario cannot take: its JSON pointer and the reason.
struct Refusal {
  std::string pointer;
  std::string reason;
};

// Gathers the refusals of one reading, so that a file with several mistakes
// is told all of them in one go. While one is active, an unknown key is
// recorded here and the reading goes on; a value the reader cannot go on
// from still throws, and Section() records it and goes on with the next
// part of the document.
class Refusals {
 public:
  Refusals();
  ~Refusals();
  Refusals(const Refusals&) = delete;
  Refusals& operator=(const Refusals&) = delete;

  static Refusals* Active();
  void add(Refusal refusal) { all_.push_back(std::move(refusal)); }
  const std::vector<Refusal>& all() const { return all_; }
  template <typename Read>
  void section(Read&& read) {
    try {
      read();
    } catch (const Refusal& refusal) {
      add(refusal);
    }
  }

 private:
  std::vector<Refusal> all_;
  Refusals* outer_;
};

// Text that is not JSON: where the parser stopped (1-based) and why.
struct SyntaxError {
  std::size_t line = 0;
  std::size_t column = 0;
  std::string reason;
};

// Parses a document. Throws SyntaxError, or Refusal for a key given twice in
// one object (JSON parsers keep one of them silently).
Json Parse(const std::string& text);

// "/players/0/letter" from "/players/0" and "letter".
std::string ChildPointer(const std::string& parent, std::string_view key);

class Object;

// One value of the document and its place. The readers throw Refusal.
class Value {
 public:
  Value(const Json& json, std::string pointer) : json_(&json), pointer_(std::move(pointer)) {}

  const Json& json() const { return *json_; }
  const std::string& pointer() const { return pointer_; }
  [[noreturn]] void refuse(std::string reason) const;

  std::string text() const;
  bool boolean() const;
  // A whole number in [min, max]: a JSON integer, or a text in hex ("0x50").
  std::uint64_t integer(std::uint64_t min, std::uint64_t max) const;
  // Bytes: a JSON integer, or a text such as "128 MiB" (B, KiB, MiB, GiB).
  std::uint64_t bytes() const;
  // A drive letter, "E" or "E:".
  char letter() const;
  // One of the names, as the number paired with it.
  int choice(std::initializer_list<std::pair<const char*, int>> names) const;
  // Three numbers [major, minor, revision], each at most `max`.
  std::array<std::uint16_t, 3> triple(std::uint16_t max) const;
  // Bytes written as hex digits, spaces allowed ("4b 58 25").
  std::vector<std::uint8_t> hex() const;
  std::vector<Value> items() const;
  // The members of an object in file order, keys as written.
  std::vector<std::pair<std::string, Value>> members() const;

 private:
  const Json* json_;
  std::string pointer_;
};

// An object whose keys are all known up front: any other key is refused
// (with a suggestion when it looks like a misspelt known one). "comment" is
// allowed everywhere and ignored.
class Object {
 public:
  Object(const Value& value, std::vector<std::string_view> keys);

  const std::string& pointer() const { return value_.pointer(); }
  bool has(std::string_view key) const;
  std::optional<Value> get(std::string_view key) const;
  // Refused when missing.
  Value need(std::string_view key) const;
  [[noreturn]] void refuse(std::string reason) const { value_.refuse(std::move(reason)); }

 private:
  Value value_;
};

}  // namespace kx7::sim::scenario
