#pragma once
// Column values as text, by type: integers and booleans as they are, floating point in the
// shortest form that reads back to the same value, DECIMAL and NUMBER exactly, UUIDs in their
// 8-4-4-4-12 form, dates, times and timestamps in ISO 8601 (timestamps in UTC), durations and
// periods as ISO 8601 durations, BYTES and OPAQUE in lower-case hex. Pure functions.

#include <optional>
#include <string>
#include <vector>

#include "model/common.h"
#include "model/ombrel_type_info.h"
#include "model/tuple.h"
#include "model/tuple_schema.h"

namespace ombrel::inspect {

// csv: null is an empty field and every STRING, BYTES and OPAQUE value is quoted (quotes
// doubled), so an empty string ("") differs from null. json: null is null, booleans and
// integers are JSON literals, everything else (DECIMAL and NUMBER too, so that no reader
// rounds them; NaN and the infinities of floating point) is a JSON string.
enum class text_form { csv, json };

// Appends the text of `value`, given as a row hands it out: a fixed-size type in its material
// form, a variable-length one as its payload; nullopt is null. Throws errors::error "Bad value
// size" when a fixed-size value has the wrong length.
void append_value(std::string& out, ombrel_type type, const std::optional<bytes_view>& value,
                  text_form form);

// The key of a material tuple (an index entry) as row values: one payload view per key slot.
std::vector<std::optional<bytes_view>> key_values(const material_tuple_schema& schema,
                                                  const material_tuple& key);

// The values of a key (an index entry) as a JSON array.
std::string key_json(const material_tuple_schema& schema, const material_tuple& key);

// `uuid` in its 8-4-4-4-12 lower-case form.
std::string uuid_text(const uuid& id);

// The name of a column type ("INT64", ...), or "TYPE_<n>" for a number without one.
std::string type_name(ombrel_type type);

}  // namespace ombrel::inspect
