#include "storage/aggregate_functions.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>

#include "model/binary_tuple_builder.h"
#include "model/binary_tuple_parser.h"
#include "native/errors.h"

namespace ombrel {
namespace {

using byte_vector = std::vector<std::byte>;

template <typename T>
T load(const std::byte* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

template <typename... F>
struct overloaded : F... {
  using F::operator()...;
};
// Spelled out for clang 14, which does not deduce aggregate template arguments.
template <typename... F>
overloaded(F...) -> overloaded<F...>;

// Unsigned bytewise order, a proper prefix first. Compares eight bytes at a time in line:
// min and max fold one short value per row, where a library call per value shows.
int compare_bytes(const std::byte* a, size_t a_length, const std::byte* b, size_t b_length) {
  const size_t common = std::min(a_length, b_length);
  size_t i = 0;
  for (; i + 8 <= common; i += 8) {
    uint64_t x;
    uint64_t y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y)
      return __builtin_bswap64(x) < __builtin_bswap64(y) ? -1 : 1;  // first byte most significant
  }
  for (; i < common; ++i) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  return (a_length > b_length) - (a_length < b_length);
}

}  // namespace

// Reads an argument of value type A from its material bytes.
template <typename A>
struct aggregate_function_argument_convertor {
  static A read(bytes_view v) {
    if constexpr (std::is_arithmetic_v<A>) {
      return load<A>(v.data);
    } else if constexpr (std::is_same_v<A, bytes_view>) {
      return v;
    } else if constexpr (std::is_same_v<A, big_integer> || std::is_same_v<A, big_decimal>) {
      return A(v.data, v.size());
    } else if constexpr (std::is_same_v<A, ombrel_date>) {
      return binary_tuple_parser::unpack_date(v.data);
    } else if constexpr (std::is_same_v<A, ombrel_time>) {
      return binary_tuple_parser::unpack_time(v.data, 6);
    } else if constexpr (std::is_same_v<A, ombrel_date_time>) {
      return {binary_tuple_parser::unpack_date(v.data),
              binary_tuple_parser::unpack_time(v.data + 3, 6)};
    } else if constexpr (std::is_same_v<A, ombrel_timestamp> ||
                         std::is_same_v<A, ombrel_duration>) {
      return {load<int64_t>(v.data), load<int32_t>(v.data + 8)};
    } else {
      static_assert(std::is_same_v<A, ombrel_period>);
      return {load<int32_t>(v.data), load<int32_t>(v.data + 4), load<int32_t>(v.data + 8)};
    }
  }
};

namespace {

// Accumulator R from argument a; integers widen, FLOAT becomes double.
template <typename R, typename A>
R to_accumulator(A&& a) {
  if constexpr (std::is_same_v<R, byte_vector>) {
    return byte_vector(a.begin(), a.end());
  } else {
    return R(std::forward<A>(a));
  }
}

template <typename X, typename Y>
bool less(const X& x, const Y& y) {
  return x < y;
}
bool less(const byte_vector& x, const bytes_view& y) {
  return compare_bytes(x.data(), x.size(), y.data, y.size()) < 0;
}
bool less(const bytes_view& x, const byte_vector& y) {
  return compare_bytes(x.data, x.size(), y.data(), y.size()) < 0;
}

// Stores the bytes of a fixed-size material value in `buffer`.
template <typename T>
bytes_view store_fixed(combined_buffer& buffer, const T& value) {
  buffer.resize(sizeof(T));
  std::memcpy(buffer.data(), &value, sizeof(T));
  return bytes_view(sizeof(T), buffer.data());
}

bytes_view store_bytes(combined_buffer& buffer, const std::byte* data, size_t length) {
  // A present empty value still gets a non-null address: a null one would read as absent.
  buffer.resize(std::max<size_t>(length, 1));
  if (length > 0) std::memcpy(buffer.data(), data, length);
  return bytes_view(length, buffer.data());
}

template <typename N>
bytes_view store_number(combined_buffer& buffer, const N& value) {
  buffer.resize(value.byte_size());
  value.store_bytes(buffer.data());
  return bytes_view(buffer.size(), buffer.data());
}

// Material forms of the temporal types: packed date (3 bytes), packed time (6 bytes).
bytes_view store_temporal(combined_buffer& buffer, const ombrel_date& v) {
  buffer.resize(3);
  binary_tuple_builder::write_date(buffer.data(), v);
  return bytes_view(3, buffer.data());
}
bytes_view store_temporal(combined_buffer& buffer, const ombrel_time& v) {
  buffer.resize(6);
  binary_tuple_builder::write_time(buffer.data(), v, 6);
  return bytes_view(6, buffer.data());
}
bytes_view store_temporal(combined_buffer& buffer, const ombrel_date_time& v) {
  buffer.resize(9);
  binary_tuple_builder::write_date(buffer.data(), v.date);
  binary_tuple_builder::write_time(buffer.data() + 3, v.time, 6);
  return bytes_view(9, buffer.data());
}
template <typename T>
bytes_view store_seconds_nanos(combined_buffer& buffer, const T& v) {
  buffer.resize(12);
  std::memcpy(buffer.data(), &v.seconds, 8);
  std::memcpy(buffer.data() + 8, &v.nanos, 4);
  return bytes_view(12, buffer.data());
}
bytes_view store_temporal(combined_buffer& buffer, const ombrel_timestamp& v) {
  return store_seconds_nanos(buffer, v);
}
bytes_view store_temporal(combined_buffer& buffer, const ombrel_duration& v) {
  return store_seconds_nanos(buffer, v);
}
bytes_view store_temporal(combined_buffer& buffer, const ombrel_period& v) {
  const int32_t fields[3] = {v.years, v.months, v.days};
  buffer.resize(12);
  std::memcpy(buffer.data(), fields, 12);
  return bytes_view(12, buffer.data());
}

}  // namespace

std::optional<bytes_view> aggregate_value::get_internal_slice(combined_buffer& buffer) {
  return std::visit(
      overloaded{
          [](std::monostate&) -> std::optional<bytes_view> { return std::nullopt; },
          [&](average& a) -> std::optional<bytes_view> {
            // A group without values divides 0 by 0: NaN.
            const double sum = std::visit([](auto s) { return static_cast<double>(s); }, a.sum);
            a.result = sum / static_cast<double>(a.count);
            return store_fixed(buffer, a.result);
          },
          [&](average_varlen& a) -> std::optional<bytes_view> {
            if (a.count == 0) return std::nullopt;  // the division refuses a zero divisor
            const big_integer count(a.count);
            if (const auto* sum = std::get_if<big_integer>(&a.sum)) {
              big_integer quotient;
              sum->divide(count, quotient);
              a.result = big_decimal(std::move(quotient), 0);
            } else {
              std::get<big_decimal>(a.sum).divide(big_decimal(count, 0), a.result);
            }
            return store_number(buffer, a.result);
          },
          [&](int64_t& v) -> std::optional<bytes_view> { return store_fixed(buffer, v); },
          [&](uint64_t& v) -> std::optional<bytes_view> { return store_fixed(buffer, v); },
          [&](double& v) -> std::optional<bytes_view> { return store_fixed(buffer, v); },
          [&](big_integer& v) -> std::optional<bytes_view> { return store_number(buffer, v); },
          [&](big_decimal& v) -> std::optional<bytes_view> { return store_number(buffer, v); },
          [&](byte_vector& v) -> std::optional<bytes_view> {
            return store_bytes(buffer, v.data(), v.size());
          },
          [&](uuid& v) -> std::optional<bytes_view> { return store_fixed(buffer, v); },
          [&](auto& temporal) -> std::optional<bytes_view> {
            return store_temporal(buffer, temporal);
          }},
      static_cast<variant&>(*this));
}

// Access to the accumulator of type R that initialize() put in place.
template <typename R>
class aggregate_function_base : public aggregate_function {
 public:
  using aggregate_function::aggregate_function;

 protected:
  static R& accumulator(aggregate_value& value) { return *std::get_if<R>(&value); }
  const bytes_view* argument(const row_values& row) const {
    const std::optional<bytes_view>& x = row[static_cast<size_t>(position_)];
    return x ? &*x : nullptr;
  }
};

// Fixes the result type and the name: "<prefix>(<column>)", or the column alone without prefix.
template <typename R>
class aggregate_function_impl : public aggregate_function_base<R> {
 public:
  aggregate_function_impl(int64_t position, ombrel_type result, const char* prefix)
      : aggregate_function_base<R>(position), result_(result), prefix_(prefix) {}

  std::string result_name(const std::string& column_name) const override {
    if (prefix_[0] == '\0') return column_name;
    return std::string(prefix_) + "(" + column_name + ")";
  }
  ombrel_type result_type() const override { return result_; }

 private:
  const ombrel_type result_;
  const char* const prefix_;
};

template <typename R, typename A>
class aggregate_function_impl_2 : public aggregate_function_impl<R> {
 public:
  using aggregate_function_impl<R>::aggregate_function_impl;

 protected:
  static A read(bytes_view v) { return aggregate_function_argument_convertor<A>::read(v); }
};

// Calls f(i, x) for rows first + i of a run's argument column, x null for a null value.
template <typename F>
void for_each_argument(const column_reader& column, uint32_t first, uint32_t count, F&& f) {
  const uint32_t size = column.fixed_size();
  if (size != 0 && !column.nullable()) {
    const std::byte* p = column.data() + size_t{first} * size;
    for (uint32_t i = 0; i < count; ++i) {
      const bytes_view x(size, p + size_t{i} * size);
      f(i, &x);
    }
    return;
  }
  for (uint32_t i = 0; i < count; ++i) {
    const std::optional<bytes_view> x = column.value(first + i);
    f(i, x ? &*x : nullptr);
  }
}

// The run folds of a function F that folds one argument at a time with
// fold(aggregate_value&, const bytes_view* argument); F may fold a whole run into one
// accumulator faster with fold_run(aggregate_value&, const column_reader&, first, count).
template <typename F>
class run_folding final : public F {
 public:
  using F::F;
  void aggregate(aggregate_value& value, const row_values& row) const override {
    this->fold(value, this->argument(row));
  }
  void aggregate_run(aggregate_value* const* values, const column_reader* argument, uint32_t first,
                     uint32_t count) const override {
    if (argument == nullptr) {
      for (uint32_t i = 0; i < count; ++i) this->fold(*values[i], nullptr);
      return;
    }
    for_each_argument(*argument, first, count,
                      [&](uint32_t i, const bytes_view* x) { this->fold(*values[i], x); });
  }
  void aggregate_run(aggregate_value& value, const column_reader* argument, uint32_t first,
                     uint32_t count) const override {
    if constexpr (requires { this->fold_run(value, *argument, first, count); }) {
      if (argument != nullptr) {
        this->fold_run(value, *argument, first, count);
        return;
      }
    }
    if (argument == nullptr) {
      for (uint32_t i = 0; i < count; ++i) this->fold(value, nullptr);
      return;
    }
    for_each_argument(*argument, first, count,
                      [&](uint32_t, const bytes_view* x) { this->fold(value, x); });
  }
};

class aggregate_function_count_star : public aggregate_function_impl<int64_t> {
 public:
  aggregate_function_count_star() : aggregate_function_impl(-1, INT64, "count") {}
  std::string result_name(const std::string&) const override { return "count(*)"; }
  void initialize(aggregate_value& value) const override { value = int64_t{0}; }
  void fold(aggregate_value& value, const bytes_view*) const { ++accumulator(value); }
  const bytes_view* argument(const row_values&) const { return nullptr; }
};

class aggregate_function_count : public aggregate_function_impl<int64_t> {
 public:
  explicit aggregate_function_count(int64_t position)
      : aggregate_function_impl(position, INT64, "count") {}
  void initialize(aggregate_value& value) const override { value = int64_t{0}; }
  void fold(aggregate_value& value, const bytes_view* x) const {
    if (x) ++accumulator(value);
  }
};

namespace {

// sum += a: integers wrap in 64 bits, floating values add as double, big numbers exactly.
template <typename S, typename A>
void add_to(S& sum, const A& a) {
  if constexpr (std::is_same_v<S, int64_t>) {
    sum = static_cast<int64_t>(static_cast<uint64_t>(sum) +
                               static_cast<uint64_t>(static_cast<int64_t>(a)));
  } else if constexpr (std::is_same_v<S, double>) {
    sum += static_cast<double>(a);
  } else {
    sum.add(a, sum);
  }
}

}  // namespace

template <typename R, typename A>
class aggregate_function_sum : public aggregate_function_impl_2<R, A> {
 public:
  aggregate_function_sum(int64_t position, ombrel_type result)
      : aggregate_function_impl_2<R, A>(position, result, "sum") {}
  void initialize(aggregate_value& value) const override { value = R{}; }
  void fold(aggregate_value& value, const bytes_view* x) const {
    if (x) add_to(this->accumulator(value), this->read(*x));
  }
  // Fixed-size sums add up in a local, which the compiler keeps in a register.
  void fold_run(aggregate_value& value, const column_reader& column, uint32_t first,
                uint32_t count) const requires std::is_arithmetic_v<R> {
    R sum = this->accumulator(value);
    for_each_argument(column, first, count, [&](uint32_t, const bytes_view* x) {
      if (x) add_to(sum, this->read(*x));
    });
    this->accumulator(value) = sum;
  }
};

// R is average (S: int64_t or double) or average_varlen (S: big_integer or big_decimal).
template <typename R, typename A>
class aggregate_function_avg : public aggregate_function_impl_2<R, A> {
  using S = std::conditional_t<std::is_integral_v<A>, int64_t,
                               std::conditional_t<std::is_floating_point_v<A>, double, A>>;

 public:
  aggregate_function_avg(int64_t position, ombrel_type result)
      : aggregate_function_impl_2<R, A>(position, result, "avg") {}
  void initialize(aggregate_value& value) const override {
    R initial;
    initial.sum = S{};
    value = std::move(initial);
  }
  void fold(aggregate_value& value, const bytes_view* x) const {
    if (x) {
      R& a = this->accumulator(value);
      add_to(*std::get_if<S>(&a.sum), this->read(*x));
      ++a.count;
    }
  }
  void fold_run(aggregate_value& value, const column_reader& column, uint32_t first,
                uint32_t count) const requires std::is_arithmetic_v<S> {
    R& a = this->accumulator(value);
    S sum = *std::get_if<S>(&a.sum);
    uint64_t n = a.count;
    for_each_argument(column, first, count, [&](uint32_t, const bytes_view* x) {
      if (x) {
        add_to(sum, this->read(*x));
        ++n;
      }
    });
    *std::get_if<S>(&a.sum) = sum;
    a.count = n;
  }
};

// min (Max false) and max (Max true): the first value, then any value strictly beyond it, so a
// NaN never replaces a value and a NaN taken first stays.
template <typename R, typename A, bool Max>
class aggregate_function_extreme : public aggregate_function_impl_2<R, A> {
 public:
  aggregate_function_extreme(int64_t position, ombrel_type result)
      : aggregate_function_impl_2<R, A>(position, result, Max ? "max" : "min") {}
  void initialize(aggregate_value& value) const override { value = std::monostate{}; }
  void fold(aggregate_value& value, const bytes_view* x) const {
    if (!x) return;
    A a = this->read(*x);
    R* current = std::get_if<R>(&value);
    if (current == nullptr) {
      value = to_accumulator<R>(std::move(a));
    } else if (Max ? less(*current, a) : less(a, *current)) {
      if constexpr (std::is_same_v<R, byte_vector>) {
        current->assign(a.begin(), a.end());
      } else {
        *current = R(std::move(a));
      }
    }
  }
};

template <typename R, typename A>
using aggregate_function_min = aggregate_function_extreme<R, A, false>;
template <typename R, typename A>
using aggregate_function_max = aggregate_function_extreme<R, A, true>;

template <typename R, typename A>
class aggregate_function_any : public aggregate_function_impl_2<R, A> {
 public:
  aggregate_function_any(int64_t position, ombrel_type result)
      : aggregate_function_impl_2<R, A>(position, result, "") {}
  void initialize(aggregate_value& value) const override { value = std::monostate{}; }
  void fold(aggregate_value& value, const bytes_view* x) const {
    if (!x) return;
    if constexpr (std::is_same_v<R, byte_vector>) {
      if (R* current = std::get_if<R>(&value)) {
        current->assign(x->begin(), x->end());
        return;
      }
    }
    value = to_accumulator<R>(this->read(*x));
  }
};

namespace {

[[noreturn]] void refuse_type(ombrel_type type) {
  throw errors::error("Unsupported aggregate function column type: " +
                      std::to_string(static_cast<int32_t>(type)));
}

template <template <typename, typename> class F, typename R, typename A>
std::unique_ptr<aggregate_function> make(int64_t position, ombrel_type result) {
  return std::make_unique<run_folding<F<R, A>>>(position, result);
}

template <template <typename, typename> class F>
std::unique_ptr<aggregate_function> make_sum_like(int64_t position, ombrel_type type) {
  switch (type) {
    case INT8:
      return make<F, int64_t, int8_t>(position, INT64);
    case INT16:
      return make<F, int64_t, int16_t>(position, INT64);
    case INT32:
      return make<F, int64_t, int32_t>(position, INT64);
    case INT64:
      return make<F, int64_t, int64_t>(position, INT64);
    case FLOAT:
      return make<F, double, float>(position, DOUBLE);
    case DOUBLE:
      return make<F, double, double>(position, DOUBLE);
    case DECIMAL:
      return make<F, big_decimal, big_decimal>(position, DECIMAL);
    case NUMBER:
      return make<F, big_integer, big_integer>(position, NUMBER);
    default:
      refuse_type(type);
  }
}

std::unique_ptr<aggregate_function> make_avg(int64_t position, ombrel_type type) {
  switch (type) {
    case INT8:
      return make<aggregate_function_avg, average, int8_t>(position, DOUBLE);
    case INT16:
      return make<aggregate_function_avg, average, int16_t>(position, DOUBLE);
    case INT32:
      return make<aggregate_function_avg, average, int32_t>(position, DOUBLE);
    case INT64:
      return make<aggregate_function_avg, average, int64_t>(position, DOUBLE);
    case FLOAT:
      return make<aggregate_function_avg, average, float>(position, DOUBLE);
    case DOUBLE:
      return make<aggregate_function_avg, average, double>(position, DOUBLE);
    case DECIMAL:
      return std::make_unique<run_folding<aggregate_function_avg<average_varlen, big_decimal>>>(
          position, DECIMAL);
    case NUMBER:
      return std::make_unique<run_folding<aggregate_function_avg<average_varlen, big_integer>>>(
          position, DECIMAL);
    default:
      refuse_type(type);
  }
}

// min, max and any take every ordered type and keep its result type.
template <template <typename, typename> class F>
std::unique_ptr<aggregate_function> make_extreme_like(int64_t position, ombrel_type type) {
  switch (type) {
    case INT8:
    case INT16:
    case INT32:
    case INT64:
    case FLOAT:
    case DOUBLE:
    case DECIMAL:
    case NUMBER:
      return make_sum_like<F>(position, type);
    case DATE:
      return make<F, ombrel_date, ombrel_date>(position, type);
    case TIME:
      return make<F, ombrel_time, ombrel_time>(position, type);
    case DATE_TIME:
      return make<F, ombrel_date_time, ombrel_date_time>(position, type);
    case TIMESTAMP:
      return make<F, ombrel_timestamp, ombrel_timestamp>(position, type);
    case PERIOD:
      return make<F, ombrel_period, ombrel_period>(position, type);
    case DURATION:
      return make<F, ombrel_duration, ombrel_duration>(position, type);
    case UUID:
    case STRING:
    case BYTES:
      return make<F, byte_vector, bytes_view>(position, type);
    default:
      refuse_type(type);
  }
}

}  // namespace

std::unique_ptr<aggregate_function> make_aggregate_function(ombrel_aggregate_function code,
                                                            int64_t position, ombrel_type type) {
  if (position < 0) {
    if (code != AGGREGATE_COUNT) throw errors::error("Bad aggregate call");
    return std::make_unique<run_folding<aggregate_function_count_star>>();
  }
  switch (code) {
    case AGGREGATE_COUNT:
      return std::make_unique<run_folding<aggregate_function_count>>(position);
    case AGGREGATE_SUM:
      return make_sum_like<aggregate_function_sum>(position, type);
    case AGGREGATE_AVG:
      return make_avg(position, type);
    case AGGREGATE_MIN:
      return make_extreme_like<aggregate_function_min>(position, type);
    case AGGREGATE_MAX:
      return make_extreme_like<aggregate_function_max>(position, type);
    case AGGREGATE_ANY:
      return make_extreme_like<aggregate_function_any>(position, type);
    default:
      throw errors::error("Unsupported aggregate function");
  }
}

}  // namespace ombrel
