#include "model/ombrel_type_info.h"

#include <string>

#include "native/errors.h"

namespace ombrel {
namespace {

// Indexed by type number: {size, value_size, alignment, varlen}.
constexpr ombrel_type_info TYPE_INFO[OMBREL_TYPE_COUNT] = {
    {0, 0, 0, false},                          // NONE
    {1, sizeof(bool), 1, false},               // BOOL
    {1, 1, 1, false},                          // INT8
    {2, 2, 2, false},                          // INT16
    {4, 4, 4, false},                          // INT32
    {8, 8, 8, false},                          // INT64
    {4, 4, 4, false},                          // FLOAT
    {8, 8, 8, false},                          // DOUBLE
    {0, 0, 0, false},                          // DECIMAL
    {3, sizeof(ombrel_date), 4, false},        // DATE
    {6, sizeof(ombrel_time), 4, false},        // TIME
    {9, sizeof(ombrel_date_time), 4, false},   // DATE_TIME
    {12, sizeof(ombrel_timestamp), 8, false},  // TIMESTAMP
    {16, sizeof(uuid), 8, false},              // UUID
    {0, 0, 0, true},                           // OPAQUE
    {0, 0, 0, true},                           // STRING
    {0, 0, 0, true},                           // BYTES
    {12, sizeof(ombrel_period), 4, false},     // PERIOD
    {12, sizeof(ombrel_duration), 8, false},   // DURATION
    {0, 0, 0, false},                          // NUMBER
};

static_assert(sizeof(ombrel_date) == 8 && sizeof(ombrel_time) == 8);
static_assert(sizeof(ombrel_date_time) == 16 && sizeof(ombrel_timestamp) == 16);
static_assert(sizeof(ombrel_duration) == 16 && sizeof(ombrel_period) == 12);
static_assert(sizeof(uuid) == 16);

}  // namespace

const ombrel_type_info& ombrel_type_info::get(ombrel_type type) {
  const auto number = static_cast<int32_t>(type);
  if (number < 0 || number >= OMBREL_TYPE_COUNT) {
    throw errors::fatal_error("Unsupported data type " +
                              std::to_string(static_cast<uint64_t>(static_cast<int64_t>(number))));
  }
  return TYPE_INFO[number];
}

}  // namespace ombrel
