#include "tools/inspect/json_writer.h"

#include <fmt/format.h>

namespace ombrel::inspect {

std::string json_quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += fmt::format("\\u{:04x}", static_cast<unsigned>(c));
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
  return out;
}

void json_writer::separate() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (first_.empty()) return;
  if (!first_.back()) out_.push_back(',');
  first_.back() = false;
}

json_writer& json_writer::begin_object() {
  separate();
  out_.push_back('{');
  first_.push_back(true);
  return *this;
}

json_writer& json_writer::end_object() {
  out_.push_back('}');
  first_.pop_back();
  return *this;
}

json_writer& json_writer::begin_array() {
  separate();
  out_.push_back('[');
  first_.push_back(true);
  return *this;
}

json_writer& json_writer::end_array() {
  out_.push_back(']');
  first_.pop_back();
  return *this;
}

json_writer& json_writer::key(std::string_view name) {
  separate();
  out_ += json_quote(name);
  out_.push_back(':');
  after_key_ = true;
  return *this;
}

json_writer& json_writer::string(std::string_view text) { return raw(json_quote(text)); }
json_writer& json_writer::number(int64_t value) { return raw(std::to_string(value)); }
json_writer& json_writer::number(uint64_t value) { return raw(std::to_string(value)); }
json_writer& json_writer::boolean(bool value) { return raw(value ? "true" : "false"); }
json_writer& json_writer::null() { return raw("null"); }

json_writer& json_writer::raw(std::string_view json) {
  separate();
  out_ += json;
  return *this;
}

}  // namespace ombrel::inspect
