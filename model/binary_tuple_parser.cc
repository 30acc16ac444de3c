#include "model/binary_tuple_parser.h"

#include <string>

#include "model/big_decimal.h"
#include "model/big_integer.h"

namespace ombrel {

big_integer binary_tuple_parser::get_number(bytes_view v) { return {v.data, v.size()}; }

big_decimal binary_tuple_parser::get_decimal(bytes_view v) {
  // Shorter forms carry no unscaled byte; refusing them keeps every decimal re-encodable in
  // the length it was given.
  check_size(v.size() >= 3);
  return {v.data, v.size()};
}

big_decimal binary_tuple_parser::get_decimal(bytes_view v, int16_t scale) {
  big_decimal d = get_decimal(v);
  if (d.scale() > scale) {
    throw std::out_of_range("Invalid scale, expected less than or equal to " +
                            std::to_string(scale) + ", but was " + std::to_string(d.scale()));
  }
  d.set_scale(scale, d);
  return d;
}

void binary_tuple_parser::too_short() { throw std::out_of_range("Too short byte buffer"); }

void binary_tuple_parser::bad_element_count() { throw std::out_of_range("Bad element count"); }

void binary_tuple_parser::bad_element_size() { throw std::out_of_range("Bad element size"); }

void binary_tuple_parser::bad_offset_table() { throw std::out_of_range("Bad offset table"); }

void binary_tuple_parser::no_more_elements() { throw std::out_of_range("No more elements"); }

}  // namespace ombrel
