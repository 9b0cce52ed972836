#include "sim/scenario/scenario_json.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <set>

namespace kx7::sim::scenario {

namespace {

// Edit distance, for suggesting the key a typo meant.
std::size_t Distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                        std::tolower(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string Quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  out += text;
  out += '"';
  return out;
}

// Where the parser is, for telling a key given twice: one frame per open
// object or array.
struct Frame {
  std::string pointer;
  bool array = false;
  std::size_t index = 0;
  std::set<std::string> keys;
  std::string key;
};

std::string NextPointer(const std::vector<Frame>& stack) {
  if (stack.empty()) return "";
  const Frame& top = stack.back();
  return ChildPointer(top.pointer, top.array ? std::to_string(top.index) : top.key);
}

void ElementDone(std::vector<Frame>& stack) {
  if (!stack.empty() && stack.back().array) ++stack.back().index;
}

SyntaxError FromParseError(const Json::parse_error& e) {
  // The parser's own text: "[json.exception.parse_error.101] parse error at
  // line 3, column 5: syntax error while parsing ...".
  SyntaxError error;
  const std::string what = e.what();
  const std::size_t at = what.find(" at line ");
  const std::size_t column = what.find(", column ", at == std::string::npos ? 0 : at);
  const std::size_t colon = what.find(": ", column == std::string::npos ? 0 : column);
  if (at != std::string::npos && column != std::string::npos && colon != std::string::npos) {
    error.line = std::strtoul(what.c_str() + at + 9, nullptr, 10);
    error.column = std::strtoul(what.c_str() + column + 9, nullptr, 10);
    error.reason = what.substr(colon + 2);
  } else {
    error.reason = what;
  }
  return error;
}

}  // namespace

std::string ChildPointer(const std::string& parent, std::string_view key) {
  std::string out = parent + "/";
  for (char c : key) {
    if (c == '~')
      out += "~0";
    else if (c == '/')
      out += "~1";
    else
      out += c;
  }
  return out;
}

Json Parse(const std::string& text) {
  std::vector<Frame> stack;
  const Json::parser_callback_t track = [&](int, Json::parse_event_t event, Json& parsed) {
    switch (event) {
      case Json::parse_event_t::object_start:
      case Json::parse_event_t::array_start: {
        Frame frame;
        frame.pointer = NextPointer(stack);
        frame.array = event == Json::parse_event_t::array_start;
        stack.push_back(std::move(frame));
        break;
      }
      case Json::parse_event_t::key: {
        Frame& top = stack.back();
        top.key = parsed.get<std::string>();
        if (!top.keys.insert(top.key).second)
          throw Refusal{ChildPointer(top.pointer, top.key), "key given twice"};
        break;
      }
      case Json::parse_event_t::object_end:
      case Json::parse_event_t::array_end:
        stack.pop_back();
        ElementDone(stack);
        break;
      case Json::parse_event_t::value:
        ElementDone(stack);
        break;
    }
    return true;
  };
  try {
    return Json::parse(text, track);
  } catch (const Json::parse_error& e) {
    throw FromParseError(e);
  }
}

void Value::refuse(std::string reason) const {
  throw Refusal{pointer_, std::move(reason)};
}

std::string Value::text() const {
  if (!json_->is_string()) refuse("not a text");
  return json_->get<std::string>();
}

bool Value::boolean() const {
  if (!json_->is_boolean()) refuse("not true or false");
  return json_->get<bool>();
}

std::uint64_t Value::integer(std::uint64_t min, std::uint64_t max) const {
  std::uint64_t number = 0;
  if (json_->is_number_unsigned()) {
    number = json_->get<std::uint64_t>();
  } else if (json_->is_number_integer()) {
    refuse("must be at least " + std::to_string(min));
  } else if (json_->is_number_float()) {
    refuse("not a whole number");
  } else if (json_->is_string()) {
    const std::string digits = json_->get<std::string>();
    const bool hexText = digits.size() > 2 && digits.size() <= 18 && digits[0] == '0' &&
                         (digits[1] == 'x' || digits[1] == 'X') &&
                         std::all_of(digits.begin() + 2, digits.end(), [](char c) {
                           return std::isxdigit(static_cast<unsigned char>(c));
                         });
    if (!hexText) refuse("not a number (" + Quoted(digits) + "; hex is written 0x50)");
    number = std::strtoull(digits.c_str() + 2, nullptr, 16);
  } else {
    refuse("not a number");
  }
  if (number < min || number > max)
    refuse(std::to_string(number) + " is out of range " + std::to_string(min) + ".." +
           std::to_string(max));
  return number;
}

std::uint64_t Value::bytes() const {
  if (!json_->is_string() || json_->get<std::string>().rfind("0x", 0) == 0)
    return integer(0, UINT64_MAX);
  const std::string text = json_->get<std::string>();
  std::size_t end = 0;
  while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
  std::string unit = text.substr(end);
  unit.erase(0, unit.find_first_not_of(' '));
  static const std::pair<const char*, std::uint64_t> kUnits[] = {
      {"", 1}, {"B", 1}, {"KiB", 1ull << 10}, {"MiB", 1ull << 20}, {"GiB", 1ull << 30}};
  const auto found = std::find_if(std::begin(kUnits), std::end(kUnits),
                                  [&](const auto& u) { return unit == u.first; });
  if (end == 0 || found == std::end(kUnits))
    refuse("not a size (" + Quoted(text) + "; write bytes, or a number with B, KiB, MiB or GiB)");
  const std::uint64_t number = end > 19 ? UINT64_MAX : std::strtoull(text.c_str(), nullptr, 10);
  if (number > UINT64_MAX / found->second) refuse("too large a size");
  return number * found->second;
}

char Value::letter() const {
  const std::string text = json_->is_string() ? json_->get<std::string>() : std::string();
  const bool ok = (text.size() == 1 || (text.size() == 2 && text[1] == ':')) &&
                  std::isalpha(static_cast<unsigned char>(text[0]));
  if (!ok) refuse("not a drive letter (write \"E\" or \"E:\")");
  return static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
}

int Value::choice(std::initializer_list<std::pair<const char*, int>> names) const {
  const std::string name = text();
  std::string known;
  for (const auto& [candidate, number] : names) {
    if (name == candidate) return number;
    known += (known.empty() ? "" : ", ") + std::string(candidate);
  }
  refuse("unknown value " + Quoted(name) + " (one of: " + known + ")");
}

std::array<std::uint16_t, 3> Value::triple(std::uint16_t max) const {
  if (!json_->is_array() || json_->size() != 3)
    refuse("not a version: three numbers [major, minor, revision]");
  std::array<std::uint16_t, 3> out{};
  for (std::size_t i = 0; i < 3; ++i)
    out[i] = static_cast<std::uint16_t>(
        Value((*json_)[i], ChildPointer(pointer_, std::to_string(i))).integer(0, max));
  return out;
}

std::vector<std::uint8_t> Value::hex() const {
  std::vector<std::uint8_t> out;
  int high = -1;
  for (char c : text()) {
    if (c == ' ') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) refuse("not hex digits");
    const int digit = std::isdigit(static_cast<unsigned char>(c))
                          ? c - '0'
                          : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    if (high < 0) {
      high = digit;
    } else {
      out.push_back(static_cast<std::uint8_t>(high << 4 | digit));
      high = -1;
    }
  }
  if (high >= 0) refuse("an odd number of hex digits");
  return out;
}

std::vector<Value> Value::items() const {
  if (!json_->is_array()) refuse("not a list");
  std::vector<Value> out;
  for (std::size_t i = 0; i < json_->size(); ++i)
    out.emplace_back((*json_)[i], ChildPointer(pointer_, std::to_string(i)));
  return out;
}

std::vector<std::pair<std::string, Value>> Value::members() const {
  if (!json_->is_object()) refuse("not an object");
  std::vector<std::pair<std::string, Value>> out;
  for (const auto& [key, member] : json_->items())
    out.emplace_back(key, Value(member, ChildPointer(pointer_, key)));
  return out;
}

namespace {
thread_local Refusals* g_activeRefusals = nullptr;
}  // namespace

Refusals::Refusals() : outer_(g_activeRefusals) {
  g_activeRefusals = this;
}

Refusals::~Refusals() {
  g_activeRefusals = outer_;
}

Refusals* Refusals::Active() {
  return g_activeRefusals;
}

Object::Object(const Value& value, std::vector<std::string_view> keys) : value_(value) {
  for (const auto& [key, member] : value.members()) {
    if (key == "comment" || std::find(keys.begin(), keys.end(), key) != keys.end()) continue;
    std::string reason = "unknown key";
    for (std::string_view known : keys)
      if (Distance(key, known) <= std::max<std::size_t>(1, known.size() / 3)) {
        reason += " (did you mean " + Quoted(known) + "?)";
        break;
      }
    if (Refusals* gathered = Refusals::Active()) {
      gathered->add(Refusal{member.pointer(), reason});
      continue;
    }
    member.refuse(reason);
  }
}

bool Object::has(std::string_view key) const {
  return value_.json().contains(std::string(key));
}

std::optional<Value> Object::get(std::string_view key) const {
  const auto it = value_.json().find(std::string(key));
  if (it == value_.json().end()) return std::nullopt;
  return Value(*it, ChildPointer(value_.pointer(), key));
}

Value Object::need(std::string_view key) const {
  auto found = get(key);
  if (!found) refuse("missing key " + Quoted(key));
  return *found;
}

}  // namespace kx7::sim::scenario
