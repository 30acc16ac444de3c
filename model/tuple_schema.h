#pragma once
// Descriptions of tuple layouts derived from a table schema: the element types of a binary tuple
// (tuple_schema) and the slots of the material form (material_tuple_schema). Plain values.

#include <cstdint>
#include <vector>

#include "model/ombrel_type_info.h"

namespace ombrel {

// One binary-tuple element: its type, material size (0 for length-prefixed types) and whether
// it may carry the 0x80 escape byte.
struct tuple_element {
  ombrel_type type = NONE;
  uint32_t size = 0;
  bool varlen = false;
};

using tuple_schema = std::vector<tuple_element>;

// The slots of a material tuple in material order; the first key_count slots are the key.
struct material_tuple_schema {
  struct element_info {
    ombrel_type type = NONE;
    uint32_t size = 0;        // material size, 0 for length-prefixed values
    uint32_t align_mask = 0;  // alignment minus 1; 0 for no alignment
    uint32_t index = 0;       // binary-tuple element supplying the value (column or key position)
  };

  std::vector<element_info> elements;
  uint32_t key_count = 0;

  size_t size() const { return elements.size(); }
  const element_info& operator[](size_t i) const { return elements[i]; }
};

}  // namespace ombrel
