#pragma once
// A small streaming writer of JSON text into a string: objects, arrays, keys and scalar values,
// with the commas placed for the caller. One writer per document; not thread-safe.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ombrel::inspect {

// `text` as a JSON string literal, quotes included. Well-formed UTF-8 passes unchanged; any
// other byte of 0x80 and above becomes \ufffd, so that the output stays valid JSON.
std::string json_quote(std::string_view text);

class json_writer {
 public:
  explicit json_writer(std::string& out) : out_(out) {}

  json_writer& begin_object();
  json_writer& end_object();
  json_writer& begin_array();
  json_writer& end_array();
  // The next value belongs to `name`. REQUIRES: inside an object.
  json_writer& key(std::string_view name);
  json_writer& string(std::string_view text);
  json_writer& number(int64_t value);
  json_writer& number(uint64_t value);
  json_writer& boolean(bool value);
  json_writer& null();
  // A value already written as JSON text.
  json_writer& raw(std::string_view json);

 private:
  // Writes the comma a value needs in its array or object.
  void separate();

  std::string& out_;
  std::vector<bool> first_;  // per open container: no element written yet
  bool after_key_ = false;
};

}  // namespace ombrel::inspect
