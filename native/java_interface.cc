// The library's only entry points: the native methods of the host class
// org.vornhale.internal.columnar.NativeInterface. Each converts its arguments, calls one operation
// of the engine and turns every failure into a pending ColumnarStorageException (or leaves the
// VM's own exception pending when a JNI call failed).

#include <fmt/format.h>
#include <jni.h>

#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "model/bitset.h"
#include "model/buffer_provider.h"
#include "model/common.h"
#include "native/batch.h"
#include "native/config.h"
#include "native/errors.h"
#include "native/java_log.h"
#include "native/log.h"
#include "storage/cursor.h"
#include "storage/storage.h"
#include "tree/merge_tree.h"

namespace ombrel {
namespace {

// Host classes are looked up as this prefix followed by their simple name.
const std::string g_class_prefix = "org/vornhale/internal/columnar/";

jclass find_java_class(JNIEnv* env, std::string_view name) {
  const std::string full_name = g_class_prefix + std::string(name);
  jclass cls = env->FindClass(full_name.c_str());
  if (cls == nullptr) {
    env->ExceptionClear();
    logging::detail::log(logging::level::error, "Find class {} failed", full_name);
  }
  return cls;
}

void throw_to_host(JNIEnv* env, const char* message) {
  // A JNI call that failed (returned null) has raised the host's exception already; no other
  // JNI call but the exception ones is allowed on top of it, and it says more than ours would.
  if (env->ExceptionCheck()) {
    logging::detail::log(logging::level::error, "Keeping the host's pending exception over: {}",
                         message);
    return;
  }
  jclass cls = find_java_class(env, "ColumnarStorageException");
  if (cls == nullptr) return;
  const jint result = env->ThrowNew(cls, message);
  logging::detail::log(logging::level::error, "ThrowNew result: {}", result);
  env->DeleteLocalRef(cls);
}

void handle_error(JNIEnv* env, const errors::error& e) {
  std::vector<frame> trace = e.trace();
  logging::detail::log(logging::level::error, "Caught exception: {}\nTrace: {}",
                       errors::describe(e), trace);
  throw_to_host(env, e.what());
}

void handle_error(JNIEnv* env, const std::exception& e) {
  logging::detail::log(logging::level::error, "Caught exception: {}", errors::describe(e));
  throw_to_host(env, e.what());
}

// Runs a method body; a failure becomes the pending host exception and the zero result.
template <typename R, typename Body>
R error_frame(JNIEnv* env, Body&& body) {
  try {
    return body();
  } catch (const errors::error& e) {
    handle_error(env, e);
  } catch (const std::exception& e) {
    handle_error(env, e);
  }
  return R{};
}

template <typename Body>
void error_frame_void(JNIEnv* env, Body&& body) {
  error_frame<int>(env, [&] {
    body();
    return 0;
  });
}

// The modified UTF-8 bytes of a host string, given back on every path.
class host_string {
 public:
  host_string(JNIEnv* env, jstring text, const char* what) : env_(env), text_(text) {
    if (text == nullptr) throw errors::error(fmt::format("Null {} argument", what));
    chars_ = env->GetStringUTFChars(text, nullptr);
    // The VM's OutOfMemoryError is pending: throw_to_host leaves it in place.
    if (chars_ == nullptr) throw errors::error(fmt::format("Cannot read the {} argument", what));
  }
  ~host_string() { env_->ReleaseStringUTFChars(text_, chars_); }
  host_string(const host_string&) = delete;
  host_string& operator=(const host_string&) = delete;

  std::string_view view() const { return chars_; }
  std::string str() const { return chars_; }

 private:
  JNIEnv* env_;
  jstring text_;
  const char* chars_ = nullptr;
};

// The elements of a host long array, given back without copying back on every path. A null
// array reference is legal and has no elements.
class host_long_array {
 public:
  host_long_array(JNIEnv* env, jlongArray array) : env_(env), array_(array) {
    if (array == nullptr) return;
    elements_ = env->GetLongArrayElements(array, nullptr);
    // The VM's exception is pending: throw_to_host leaves it in place.
    if (elements_ == nullptr) throw errors::error("Illegal long array!");
    length_ = static_cast<size_t>(env->GetArrayLength(array));
  }
  ~host_long_array() {
    if (elements_ != nullptr) env_->ReleaseLongArrayElements(array_, elements_, JNI_ABORT);
  }
  host_long_array(const host_long_array&) = delete;
  host_long_array& operator=(const host_long_array&) = delete;

  bool is_null() const { return array_ == nullptr; }
  const int64_t* data() const { return reinterpret_cast<const int64_t*>(elements_); }
  size_t size() const { return length_; }

  // Bit i of the set is bit (i mod 64) of word i / 64.
  bitset to_bitset() const {
    bitset bits;
    if (elements_ != nullptr) bits.assign(reinterpret_cast<const uint64_t*>(elements_), length_);
    return bits;
  }

 private:
  JNIEnv* env_;
  jlongArray array_;
  jlong* elements_ = nullptr;
  size_t length_ = 0;
};

// Host memory given for the duration of one call.
bytes_view host_bytes(jlong address, jint length, const char* what) {
  if (length < 0) throw errors::error(fmt::format("Negative {} length {}", what, length));
  if (address == 0 && length > 0) throw errors::error(fmt::format("Null {} address", what));
  return bytes_view(reinterpret_cast<const std::byte*>(address), static_cast<size_t>(length));
}

template <typename T>
T& from_handle(jlong handle, const char* what) {
  if (handle == 0) throw errors::error(fmt::format("Null {} handle", what));
  return *reinterpret_cast<T*>(handle);
}

// Table handles are abstract_table pointers: partitions or catalogs.
jlong to_handle(abstract_table* table) { return reinterpret_cast<jlong>(table); }

table_partition& partition_of(jlong handle) {
  auto* partition =
      dynamic_cast<table_partition*>(&from_handle<abstract_table>(handle, "partition"));
  if (partition == nullptr) throw errors::error("Not a table partition handle");
  return *partition;
}

// A partition found by id for the length of one call, given back on every path.
class borrowed_partition {
 public:
  borrowed_partition(storage& s, int32_t table, int32_t partition)
      : partition_(s.get_table_partition(table, partition)) {}
  ~borrowed_partition() { storage::table_deleter::run(partition_); }
  borrowed_partition(const borrowed_partition&) = delete;
  borrowed_partition& operator=(const borrowed_partition&) = delete;
  table_partition* get() const { return partition_; }

 private:
  table_partition* partition_;
};

// The host's first id word is the UUID's second half.
uuid host_uuid(jlong a, jlong b) { return uuid{b, a}; }

// Writes a result of `length` bytes into the host's buffer when it fits (returning null), else
// into this thread's result buffer, returned as a direct buffer valid until the next such call.
template <typename Writer>
jobject deliver_result(JNIEnv* env, jlong out_address, jint out_size, size_t length,
                       Writer&& write) {
  const size_t capacity = out_size > 0 ? static_cast<size_t>(out_size) : 0;
  if (out_address != 0 && capacity >= length) {
    write(reinterpret_cast<std::byte*>(out_address));
    return nullptr;
  }
  std::byte* buffer = buffer_provider::instance().ensure_buffer(length);
  write(buffer);
  jobject result = env->NewDirectByteBuffer(buffer, static_cast<jlong>(length));
  // The VM's exception is pending: throw_to_host leaves it in place.
  if (result == nullptr) throw errors::error("Failed to allocate a direct byte buffer");
  return result;
}

// Bit 0 is the flag, bits 1-3 the function code, bits 32-63 the column index; bits 4-31 are
// ignored.
ombrel_aggregate_call decode_aggregate_call(int64_t word) {
  const auto bits = static_cast<uint64_t>(word);
  ombrel_aggregate_call call;
  call.column = static_cast<int32_t>(static_cast<uint32_t>(bits >> 32));
  call.function = static_cast<uint8_t>((bits >> 1) & 7);
  call.flag = static_cast<uint8_t>(bits & 1);
  if (call.function > AGGREGATE_ANY) throw errors::error("Unsupported aggregate function");
  return call;
}

logging::level parse_level(std::string_view name) {
  if (name == "TRACE") return logging::level::trace;
  if (name == "DEBUG") return logging::level::debug;
  if (name == "INFO") return logging::level::info;
  if (name == "WARN") return logging::level::warning;
  return logging::level::error;
}

}  // namespace
}  // namespace ombrel

using namespace ombrel;

#define OMBREL_NATIVE(ret, name) \
  extern "C" JNIEXPORT ret JNICALL Java_org_vornhale_internal_columnar_NativeInterface_##name

OMBREL_NATIVE(jlong, createStorage)(JNIEnv* env, jclass, jstring root) {
  return error_frame<jlong>(env, [&]() -> jlong {
    host_string path(env, root, "root directory");
    auto created = std::make_unique<storage>(std::filesystem::path(path.str()));
    return reinterpret_cast<jlong>(created.release());
  });
}

OMBREL_NATIVE(void, releaseStorage)(JNIEnv*, jclass, jlong handle) {
  // Partitions still held keep the registry alive.
  std::unique_ptr<storage> released(reinterpret_cast<storage*>(handle));
}

OMBREL_NATIVE(void, setLowWatermark)(JNIEnv* env, jclass, jlong handle, jlong timestamp) {
  error_frame_void(env, [&] {
    from_handle<storage>(handle, "storage").get_registry()->broadcast_low_watermark(timestamp);
  });
}

OMBREL_NATIVE(jlong, createTablePartition)
(JNIEnv* env, jclass, jstring name, jlong handle, jint table_id, jint partition_id,
 jlong schema_address, jint schema_length) {
  return error_frame<jlong>(env, [&]() -> jlong {
    host_string table_name(env, name, "table name");
    storage& s = from_handle<storage>(handle, "storage");
    // The schema is read first, so that a malformed one leaves the registry untouched.
    const bytes_view bytes = host_bytes(schema_address, schema_length, "schema");
    schema_descriptor schema;
    const std::byte* cursor = bytes.data;
    schema.deserialize(cursor, bytes.size());
    return to_handle(s.create_table_partition(table_name.str(), table_id, partition_id, schema));
  });
}

OMBREL_NATIVE(jlong, getTablePartition)
(JNIEnv* env, jclass, jlong handle, jint table_id, jint partition_id) {
  return error_frame<jlong>(env, [&]() -> jlong {
    return to_handle(
        from_handle<storage>(handle, "storage").get_table_partition(table_id, partition_id));
  });
}

OMBREL_NATIVE(void, releaseTablePartition)(JNIEnv* env, jclass, jlong table) {
  if (table == 0) return;
  error_frame_void(env,
                   [&] { storage::table_deleter::run(reinterpret_cast<abstract_table*>(table)); });
}

OMBREL_NATIVE(void, dropTablePartition)
(JNIEnv* env, jclass, jlong handle, jint table_id, jint partition_id) {
  error_frame_void(env, [&] {
    from_handle<storage>(handle, "storage").drop_table_partition(table_id, partition_id);
  });
}

OMBREL_NATIVE(jlong, getAllTablePartitions)(JNIEnv* env, jclass, jlong handle) {
  return error_frame<jlong>(env, [&]() -> jlong {
    return to_handle(from_handle<storage>(handle, "storage").get_table_catalog().release());
  });
}

OMBREL_NATIVE(jobject, getTableSchema)
(JNIEnv* env, jclass, jlong handle, jint table_id, jint partition_id, jlong out_address,
 jint out_size) {
  return error_frame<jobject>(env, [&]() -> jobject {
    storage& s = from_handle<storage>(handle, "storage");
    std::vector<std::byte> schema;
    {
      borrowed_partition partition(s, table_id, partition_id);
      if (partition.get() != nullptr) schema = partition.get()->get_schema().serialize();
    }
    // An 8-byte length, then the schema bytes.
    const uint64_t length = schema.size();
    return deliver_result(env, out_address, out_size, 8 + schema.size(), [&](std::byte* out) {
      std::memcpy(out, &length, 8);
      if (length > 0) std::memcpy(out + 8, schema.data(), schema.size());
    });
  });
}

OMBREL_NATIVE(void, upsert)
(JNIEnv* env, jclass, jlong partition, jlong timestamp, jlong id_a, jlong id_b, jlong row_address,
 jint row_length) {
  error_frame_void(env, [&] {
    const bytes_view row = host_bytes(row_address, row_length, "row");
    partition_of(partition).tree().upsert(timestamp, host_uuid(id_a, id_b), row);
  });
}

OMBREL_NATIVE(void, remove)
(JNIEnv* env, jclass, jlong partition, jlong timestamp, jlong id_a, jlong id_b, jlong key_address,
 jint key_length) {
  error_frame_void(env, [&] {
    const bytes_view key = host_bytes(key_address, key_length, "key");
    partition_of(partition).tree().remove(timestamp, host_uuid(id_a, id_b), key);
  });
}

OMBREL_NATIVE(void, processBatch)
(JNIEnv* env, jclass, jlong partition, jlong timestamp, jlong batch_address) {
  error_frame_void(env, [&] {
    if (batch_address == 0) throw errors::error("Null batch address");
    merge_tree::batch_writer writer(partition_of(partition).tree());
    // The first failing record stops the batch; the records before it stay applied.
    for_each_batch_record(reinterpret_cast<const std::byte*>(batch_address),
                          [&](const batch_record& r) {
                            if (r.is_remove) {
                              writer.remove(timestamp, r.tx_id, r.payload);
                            } else {
                              writer.upsert(timestamp, r.tx_id, r.payload);
                            }
                          });
  });
}

OMBREL_NATIVE(jobject, readRow)
(JNIEnv* env, jclass, jlong partition, jlong timestamp, jlong key_address, jint key_length,
 jlong out_address, jint out_size) {
  return error_frame<jobject>(env, [&]() -> jobject {
    const bytes_view key = host_bytes(key_address, key_length, "key");
    const std::vector<std::byte> row = partition_of(partition).tree().read(timestamp, key);
    // A 4-byte length, then the row bytes.
    const auto length = static_cast<uint32_t>(row.size());
    return deliver_result(env, out_address, out_size, 4 + row.size(), [&](std::byte* out) {
      std::memcpy(out, &length, 4);
      if (length > 0) std::memcpy(out + 4, row.data(), row.size());
    });
  });
}

OMBREL_NATIVE(jobject, getLastPersistedRow)
(JNIEnv* env, jclass, jlong partition, jlong out_address, jint out_size) {
  return error_frame<jobject>(env, [&]() -> jobject {
    const row_tag tag = partition_of(partition).tree().get_last_persisted_row_tag();
    // The id comes back in the order the host passes it: second word, then first.
    const int64_t words[3] = {tag.timestamp, tag.tx.second, tag.tx.first};
    return deliver_result(env, out_address, out_size, sizeof words,
                          [&](std::byte* out) { std::memcpy(out, words, sizeof words); });
  });
}

OMBREL_NATIVE(void, doFullCompaction)(JNIEnv* env, jclass, jlong partition) {
  error_frame_void(env, [&] { partition_of(partition).tree().make_full_compaction(); });
}

OMBREL_NATIVE(void, addColumn)
(JNIEnv* env, jclass, jlong partition, jint type, jstring name, jboolean nullable) {
  error_frame_void(env, [&] {
    merge_tree& tree = partition_of(partition).tree();
    host_string column(env, name, "column name");
    const auto column_type = static_cast<ombrel_type>(type);
    tree.add_column(
        column_descriptor(column.str(), column_info::of_type(column_type, nullable != JNI_FALSE)));
  });
}

OMBREL_NATIVE(void, dropColumn)(JNIEnv* env, jclass, jlong partition, jstring name) {
  error_frame_void(env, [&] {
    merge_tree& tree = partition_of(partition).tree();
    host_string column(env, name, "column name");
    tree.drop_column(column.str());
  });
}

OMBREL_NATIVE(void, modifyColumnType)
(JNIEnv* env, jclass, jlong partition, jint type, jstring name, jboolean nullable) {
  error_frame_void(env, [&] {
    merge_tree& tree = partition_of(partition).tree();
    host_string column(env, name, "column name");
    const auto column_type = static_cast<ombrel_type>(type);
    tree.modify_column(column.str(), column_info::of_type(column_type, nullable != JNI_FALSE));
  });
}

OMBREL_NATIVE(jlong, createCursor)
(JNIEnv* env, jclass, jlong table, jlong timestamp, jlongArray projection) {
  return error_frame<jlong>(env, [&]() -> jlong {
    host_long_array words(env, projection);
    abstract_table& scanned = from_handle<abstract_table>(table, "table");
    std::unique_ptr<cursor> created =
        words.is_null()
            ? std::make_unique<cursor>(&scanned, timestamp)
            : std::make_unique<cursor>(&scanned, timestamp, ombrel_table_scan{words.to_bitset()});
    return reinterpret_cast<jlong>(created.release());
  });
}

OMBREL_NATIVE(jlong, createAggregateCursor)
(JNIEnv* env, jclass, jlong table, jlong timestamp, jlongArray group_set, jlongArray calls) {
  return error_frame<jlong>(env, [&]() -> jlong {
    host_long_array group_words(env, group_set);
    host_long_array call_words(env, calls);
    ombrel_aggregate request;
    request.group_set = group_words.to_bitset();
    request.calls.reserve(call_words.size());
    for (size_t i = 0; i < call_words.size(); ++i) {
      request.calls.push_back(decode_aggregate_call(call_words.data()[i]));
    }
    abstract_table& scanned = from_handle<abstract_table>(table, "table");
    auto created = std::make_unique<cursor>(&scanned, timestamp, request);
    return reinterpret_cast<jlong>(created.release());
  });
}

OMBREL_NATIVE(jboolean, cursorHasNextPage)(JNIEnv* env, jclass, jlong handle) {
  return error_frame<jboolean>(env, [&]() -> jboolean {
    return from_handle<cursor>(handle, "cursor").has_next_page() ? JNI_TRUE : JNI_FALSE;
  });
}

OMBREL_NATIVE(jint, cursorGatherTuples)(JNIEnv* env, jclass, jlong handle) {
  return error_frame<jint>(env, [&]() -> jint {
    return static_cast<jint>(from_handle<cursor>(handle, "cursor").fill_next_page());
  });
}

OMBREL_NATIVE(jobject, cursorGetBuffer)(JNIEnv* env, jclass, jlong handle) {
  return error_frame<jobject>(env, [&]() -> jobject {
    cursor& c = from_handle<cursor>(handle, "cursor");
    jobject result = env->NewDirectByteBuffer(c.buffer(), static_cast<jlong>(c.capacity()));
    if (result == nullptr) throw errors::error("Failed to allocate a direct byte buffer");
    return result;
  });
}

OMBREL_NATIVE(jobject, cursorGetOutputSchema)
(JNIEnv* env, jclass, jlong handle, jlong out_address, jint out_size) {
  return error_frame<jobject>(env, [&]() -> jobject {
    const std::vector<std::byte> schema =
        from_handle<cursor>(handle, "cursor").output_schema().serialize();
    return deliver_result(env, out_address, out_size, schema.size(), [&](std::byte* out) {
      if (!schema.empty()) std::memcpy(out, schema.data(), schema.size());
    });
  });
}

OMBREL_NATIVE(void, releaseCursor)(JNIEnv*, jclass, jlong handle) {
  // Destruction never throws: a failing close action is logged by the iterator.
  delete reinterpret_cast<cursor*>(handle);
}

OMBREL_NATIVE(void, setLogger)(JNIEnv* env, jclass, jobject logger, jstring level_name) {
  error_frame_void(env, [&] {
    host_string name(env, level_name, "level name");
    logging::setup(parse_level(name.view()), env, logger);
  });
}

OMBREL_NATIVE(void, resetLogger)(JNIEnv* env, jclass) {
  error_frame_void(env, [&] { logging::shutdown(); });
}

OMBREL_NATIVE(void, setParameter)(JNIEnv* env, jclass, jstring name, jstring value) {
  error_frame_void(env, [&] {
    host_string key(env, name, "parameter name");
    host_string text(env, value, "parameter value");
    config::get_config().set_param(key.view(), text.view());
  });
}

extern "C" JNIEXPORT void JNICALL JNI_OnUnload(JavaVM*, void*) { logging::shutdown(); }
