// The native methods as the host calls them, through a stand-in JNI environment that records
// what they ask of the VM and can fail the calls that return host memory.
#include <gtest/gtest.h>
#include <jni.h>

#include <string>
#include <vector>

#include "tests/support/test_dir.h"

extern "C" {
jlong Java_org_vornhale_internal_columnar_NativeInterface_createStorage(JNIEnv*, jclass, jstring);
void Java_org_vornhale_internal_columnar_NativeInterface_releaseStorage(JNIEnv*, jclass, jlong);
jobject Java_org_vornhale_internal_columnar_NativeInterface_getTableSchema(JNIEnv*, jclass, jlong,
                                                                           jint, jint, jlong, jint);
jlong Java_org_vornhale_internal_columnar_NativeInterface_createCursor(JNIEnv*, jclass, jlong,
                                                                       jlong, jlongArray);
void Java_org_vornhale_internal_columnar_NativeInterface_setParameter(JNIEnv*, jclass, jstring,
                                                                      jstring);
}

namespace ombrel {
namespace {

// One test's VM: host strings are C strings in disguise. Array elements and direct buffers are
// never had, and strings not while `fail_strings` is set: such a call returns null with an
// exception pending, as a VM out of memory does.
struct fake_vm {
  bool pending = false;
  bool fail_strings = false;
  std::vector<std::string> calls;  // FindClass and ThrowNew, with their argument
};

fake_vm* g_vm = nullptr;

jstring host_text(const char* text) { return reinterpret_cast<jstring>(const_cast<char*>(text)); }

const char* JNICALL get_string_utf_chars(JNIEnv*, jstring text, jboolean*) {
  if (g_vm->fail_strings) {
    g_vm->pending = true;
    return nullptr;
  }
  return reinterpret_cast<const char*>(text);
}
void JNICALL release_string_utf_chars(JNIEnv*, jstring, const char*) {}
jlong* JNICALL get_long_array_elements(JNIEnv*, jlongArray, jboolean*) {
  g_vm->pending = true;
  return nullptr;
}
jobject JNICALL new_direct_byte_buffer(JNIEnv*, void*, jlong) {
  g_vm->pending = true;
  return nullptr;
}
jboolean JNICALL exception_check(JNIEnv*) { return g_vm->pending ? JNI_TRUE : JNI_FALSE; }
void JNICALL exception_clear(JNIEnv*) { g_vm->pending = false; }
jclass JNICALL find_class(JNIEnv*, const char* name) {
  g_vm->calls.push_back(std::string("FindClass ") + name);
  return reinterpret_cast<jclass>(g_vm);
}
jint JNICALL throw_new(JNIEnv*, jclass, const char* message) {
  g_vm->calls.push_back(std::string("ThrowNew ") + message);
  g_vm->pending = true;
  return 0;
}
void JNICALL delete_local_ref(JNIEnv*, jobject) {}

class JavaInterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_vm = &vm_;
    functions_.GetStringUTFChars = get_string_utf_chars;
    functions_.ReleaseStringUTFChars = release_string_utf_chars;
    functions_.GetLongArrayElements = get_long_array_elements;
    functions_.NewDirectByteBuffer = new_direct_byte_buffer;
    functions_.ExceptionCheck = exception_check;
    functions_.ExceptionClear = exception_clear;
    functions_.FindClass = find_class;
    functions_.ThrowNew = throw_new;
    functions_.DeleteLocalRef = delete_local_ref;
    env_.functions = &functions_;
  }
  void TearDown() override { g_vm = nullptr; }

  fake_vm vm_;
  JNINativeInterface_ functions_{};
  JNIEnv env_{};
};

TEST_F(JavaInterfaceTest, VmFailuresKeepTheirPendingExceptionAndOthersBecomeOurs) {
  // Our own refusal becomes a ColumnarStorageException.
  Java_org_vornhale_internal_columnar_NativeInterface_setParameter(
      &env_, nullptr, host_text("NO_SUCH_KEY"), host_text("1"));
  EXPECT_EQ(vm_.calls, (std::vector<std::string>{
                           "FindClass org/vornhale/internal/columnar/ColumnarStorageException",
                           "ThrowNew Unexpected name in config parameter:NO_SUCH_KEY"}));

  // A VM call that failed has raised the host's exception already: it stays the one pending.
  vm_ = fake_vm{};
  vm_.fail_strings = true;
  Java_org_vornhale_internal_columnar_NativeInterface_setParameter(
      &env_, nullptr, host_text("MERGE_TREE_FANOUT"), host_text("4"));
  EXPECT_TRUE(vm_.pending);
  EXPECT_EQ(vm_.calls, std::vector<std::string>{}) << "no exception thrown over a pending one";

  vm_ = fake_vm{};
  Java_org_vornhale_internal_columnar_NativeInterface_createCursor(
      &env_, nullptr, 0, 0, reinterpret_cast<jlongArray>(&vm_));
  EXPECT_TRUE(vm_.pending);
  EXPECT_EQ(vm_.calls, std::vector<std::string>{});

  testing::test_dir dir;
  const std::string root = (dir / "storage").string();
  vm_ = fake_vm{};
  const jlong storage = Java_org_vornhale_internal_columnar_NativeInterface_createStorage(
      &env_, nullptr, host_text(root.c_str()));
  ASSERT_NE(storage, 0) << (vm_.calls.empty() ? "" : vm_.calls.back());
  EXPECT_EQ(Java_org_vornhale_internal_columnar_NativeInterface_getTableSchema(&env_, nullptr,
                                                                               storage, 1, 1, 0, 0),
            nullptr);
  EXPECT_TRUE(vm_.pending);
  EXPECT_EQ(vm_.calls, std::vector<std::string>{});
  Java_org_vornhale_internal_columnar_NativeInterface_releaseStorage(&env_, nullptr, storage);
}

}  // namespace
}  // namespace ombrel
