#include "tools/examine/json_writer.h"

#include <fmt/format.h>

namespace ombrel::inspect {

namespace {

// The length of the well-formed UTF-8 sequence at the start of `text`, 0 when there is none
// (stray continuation bytes, overlong forms, surrogates, values past U+10FFFF, cut sequences).
size_t utf8_sequence(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  size_t n;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < n || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < n; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return n;
}

}  // namespace

std::string json_quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (static_cast<unsigned char>(c) >= 0x80) {
      // JSON text must be UTF-8: a byte that starts no valid sequence becomes U+FFFD.
      const size_t n = utf8_sequence(text.substr(i));
      if (n == 0) {
        out += "\\ufffd";
      } else {
        out.append(text.substr(i, n));
        i += n - 1;
      }
      continue;
    }
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
