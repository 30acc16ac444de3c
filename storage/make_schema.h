#pragma once
// Schemas derived from a table's schema for the rows a cursor hands out. Pure functions.

#include "model/bitset.h"
#include "model/schema_descriptor.h"

namespace ombrel {

// The schema of projected rows: copies of the projected columns in table order, no key,
// version 0. Bits at or beyond the column count end the projection.
schema_descriptor make_output_schema(const schema_descriptor& schema, const bitset& projection);

// The schema of group keys: copies of the grouped columns in table order, every one a key
// column in that order, version 0. Bits at or beyond the column count are ignored.
schema_descriptor make_group_set_schema(const schema_descriptor& schema, const bitset& group_set);

}  // namespace ombrel
