#include "tools/examine/value_text.h"

#include <fmt/format.h>

#include <cmath>
#include <cstring>

#include "model/big_decimal.h"
#include "model/big_integer.h"
#include "model/binary_tuple_parser.h"
#include "model/column_descriptor.h"
#include "native/errors.h"
#include "tools/examine/json_writer.h"

namespace ombrel::inspect {
namespace {

constexpr int64_t NANOS = 1'000'000'000;

template <typename T>
T load(const std::byte* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }
int64_t floor_mod(int64_t a, int64_t b) { return a - floor_div(a, b) * b; }

// Four digits at least; a sign for years outside 0..9999, as ISO 8601 expands them.
std::string year_text(int64_t year) {
  if (year >= 0 && year <= 9999) return fmt::format("{:04}", year);
  const uint64_t magnitude = year < 0 ? 0 - static_cast<uint64_t>(year) : year;
  return fmt::format("{}{:04}", year < 0 ? '-' : '+', magnitude);
}

// ".f" with up to nine digits, trailing zeros dropped; nothing for a whole second.
std::string fraction_text(int64_t nanos) {
  if (nanos == 0) return {};
  std::string digits = fmt::format("{:09}", nanos);
  while (digits.back() == '0') digits.pop_back();
  return "." + digits;
}

std::string date_text(int64_t year, int month, int day) {
  return fmt::format("{}-{:02}-{:02}", year_text(year), month, day);
}

std::string time_text(const ombrel_time& t) {
  return fmt::format("{:02}:{:02}:{:02}{}", t.hour, t.minute, t.second, fraction_text(t.nano));
}

// The proleptic Gregorian date `days` after 1970-01-01.
void civil_from_days(int64_t days, int64_t& year, int& month, int& day) {
  days += 719468;
  const int64_t era = floor_div(days, 146097);
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = yoe + era * 400 + (month <= 2 ? 1 : 0);
}

std::string timestamp_text(int64_t seconds, int32_t nanos) {
  // Nanos outside a second (never written by the engine) are carried into the seconds.
  const __int128 total = static_cast<__int128>(seconds) * NANOS + nanos;
  __int128 whole = total / NANOS;
  if (total % NANOS < 0) --whole;  // floor, so that the fraction counts forward
  const auto fraction = static_cast<int64_t>(total - whole * NANOS);
  int64_t year;
  int month, day;
  const auto seconds_total = static_cast<int64_t>(whole);
  civil_from_days(floor_div(seconds_total, 86400), year, month, day);
  const int64_t second_of_day = floor_mod(seconds_total, 86400);
  return fmt::format("{}T{:02}:{:02}:{:02}{}Z", date_text(year, month, day), second_of_day / 3600,
                     second_of_day / 60 % 60, second_of_day % 60, fraction_text(fraction));
}

std::string duration_text(int64_t seconds, int32_t nanos) {
  const __int128 total = static_cast<__int128>(seconds) * NANOS + nanos;
  const unsigned __int128 magnitude = total < 0 ? -static_cast<unsigned __int128>(total) : total;
  const auto whole = static_cast<uint64_t>(magnitude / NANOS);
  const auto fraction = static_cast<int64_t>(magnitude % NANOS);
  return fmt::format("PT{}{}{}S", total < 0 ? "-" : "", whole, fraction_text(fraction));
}

std::string period_text(int32_t years, int32_t months, int32_t days) {
  if (years == 0 && months == 0 && days == 0) return "P0D";
  std::string text = "P";
  if (years != 0) text += fmt::format("{}Y", years);
  if (months != 0) text += fmt::format("{}M", months);
  if (days != 0) text += fmt::format("{}D", days);
  return text;
}

template <typename F>
std::string float_text(F value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
  return fmt::format("{}", value);
}

std::string hex_text(bytes_view v) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string text;
  text.reserve(v.size() * 2);
  for (const std::byte b : v) {
    text.push_back(DIGITS[static_cast<unsigned>(b) >> 4]);
    text.push_back(DIGITS[static_cast<unsigned>(b) & 0xF]);
  }
  return text;
}

std::string csv_quote(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

void check_size(bytes_view v, size_t size) {
  if (v.size() != size) throw errors::error(fmt::format("Bad value size {}", v.size()));
}

}  // namespace

std::string uuid_text(const uuid& id) {
  const auto hi = static_cast<uint64_t>(id.first);
  const auto lo = static_cast<uint64_t>(id.second);
  return fmt::format("{:08x}-{:04x}-{:04x}-{:04x}-{:012x}", hi >> 32, (hi >> 16) & 0xFFFF,
                     hi & 0xFFFF, lo >> 48, lo & 0xFFFFFFFFFFFF);
}

std::string type_name(ombrel_type type) {
  static constexpr const char* NAMES[] = {"NONE",   "BOOL",      "INT8",      "INT16",    "INT32",
                                          "INT64",  "FLOAT",     "DOUBLE",    "DECIMAL",  "DATE",
                                          "TIME",   "DATE_TIME", "TIMESTAMP", "UUID",     "OPAQUE",
                                          "STRING", "BYTES",     "PERIOD",    "DURATION", "NUMBER"};
  if (type >= 0 && type < OMBREL_TYPE_COUNT) return NAMES[type];
  if (type == INTERNAL_TYPE) return "INTERNAL";
  return fmt::format("TYPE_{}", static_cast<int32_t>(type));
}

void append_value(std::string& out, ombrel_type type, const std::optional<bytes_view>& value,
                  text_form form) {
  const bool json = form == text_form::json;
  if (!value) {
    if (json) out += "null";
    return;
  }
  const bytes_view v = *value;
  // Text that JSON must quote; csv prints it bare (it holds no separator or quote).
  auto text = [&](const std::string& t) { out += json ? '"' + t + '"' : t; };
  switch (type) {
    case BOOL:
      check_size(v, 1);
      out += v.data[0] != std::byte{0} ? "true" : "false";
      return;
    case INT8:
      check_size(v, 1);
      out += std::to_string(load<int8_t>(v.data));
      return;
    case INT16:
      check_size(v, 2);
      out += std::to_string(load<int16_t>(v.data));
      return;
    case INT32:
      check_size(v, 4);
      out += std::to_string(load<int32_t>(v.data));
      return;
    case INT64:
      check_size(v, 8);
      out += std::to_string(load<int64_t>(v.data));
      return;
    case FLOAT: {
      check_size(v, 4);
      const float f = load<float>(v.data);
      return std::isfinite(f) ? void(out += float_text(f)) : text(float_text(f));
    }
    case DOUBLE: {
      check_size(v, 8);
      const double d = load<double>(v.data);
      return std::isfinite(d) ? void(out += float_text(d)) : text(float_text(d));
    }
    case DECIMAL:
      return text(big_decimal(v.data, v.size()).to_string());
    case NUMBER:
      return text(big_integer(v.data, v.size()).to_string());
    case DATE: {
      check_size(v, 3);
      const ombrel_date d = binary_tuple_parser::unpack_date(v.data);
      return text(date_text(d.year, d.month, d.day));
    }
    case TIME:
      check_size(v, 6);
      return text(time_text(binary_tuple_parser::unpack_time(v.data, 6)));
    case DATE_TIME: {
      check_size(v, 9);
      const ombrel_date d = binary_tuple_parser::unpack_date(v.data);
      const ombrel_time t = binary_tuple_parser::unpack_time(v.data + 3, 6);
      return text(date_text(d.year, d.month, d.day) + "T" + time_text(t));
    }
    case TIMESTAMP:
      check_size(v, 12);
      return text(timestamp_text(load<int64_t>(v.data), load<int32_t>(v.data + 8)));
    case DURATION:
      check_size(v, 12);
      return text(duration_text(load<int64_t>(v.data), load<int32_t>(v.data + 8)));
    case PERIOD:
      check_size(v, 12);
      return text(
          period_text(load<int32_t>(v.data), load<int32_t>(v.data + 4), load<int32_t>(v.data + 8)));
    case UUID:
      check_size(v, 16);
      return text(uuid_text({load<int64_t>(v.data), load<int64_t>(v.data + 8)}));
    case STRING:
      out += json ? json_quote(v.as_string()) : csv_quote(v.as_string());
      return;
    case BYTES:
    case OPAQUE:
      out += json ? '"' + hex_text(v) + '"' : csv_quote(hex_text(v));
      return;
    default:
      // Internal columns and unknown types: their bytes.
      return text(hex_text(v));
  }
}

std::vector<std::optional<bytes_view>> key_values(const material_tuple_schema& schema,
                                                  const material_tuple& key) {
  std::vector<std::optional<bytes_view>> values;
  for (uint32_t s = 0; s < schema.key_count; ++s) {
    const std::byte* p = key[s];
    if (p == nullptr) {
      values.emplace_back();
    } else if (schema[s].size != 0) {
      values.emplace_back(bytes_view(schema[s].size, p));
    } else {
      values.emplace_back(bytes_view(load<uint32_t>(p), p + sizeof(uint32_t)));
    }
  }
  return values;
}

std::string key_json(const material_tuple_schema& schema, const material_tuple& key) {
  const auto values = key_values(schema, key);
  std::string out = "[";
  for (size_t s = 0; s < values.size(); ++s) {
    if (s != 0) out += ',';
    append_value(out, schema[s].type, values[s], text_form::json);
  }
  return out + "]";
}

}  // namespace ombrel::inspect
