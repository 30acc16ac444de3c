#include "native/java_log.h"

#include <fmt/format.h>

#include <memory>
#include <string>

#include "native/errors.h"

namespace ombrel::logging {
namespace {

constexpr const char* METHOD_NAMES[] = {"trace", "debug", "info", "warn", "error"};
constexpr const char* LOGGER_SIGNATURE = "(Ljava/lang/String;[Ljava/lang/Object;)V";

// Attaches the logger thread to the virtual machine and calls the host logger through a weak
// reference, so that the sink never keeps the logger object alive.
class java_sink final : public sink {
 public:
  java_sink(JavaVM* vm, jobject logger) : vm_(vm), logger_(logger) {}

  void open() override {
    if (vm_->AttachCurrentThreadAsDaemon(reinterpret_cast<void**>(&env_), nullptr) != JNI_OK) {
      throw errors::fatal_error("Failed to attach the logger thread");
    }
    try {
      weak_ = env_->NewWeakGlobalRef(logger_);
      jclass cls = weak_ ? env_->GetObjectClass(weak_) : nullptr;
      if (cls == nullptr) {
        throw errors::fatal_error(
            "Failed to use an ombrel logger. It seems it was garbage collected.");
      }
      for (int i = 0; i < 5; ++i) {
        methods_[i] = env_->GetMethodID(cls, METHOD_NAMES[i], LOGGER_SIGNATURE);
        if (methods_[i] == nullptr) {
          env_->ExceptionClear();
          env_->DeleteLocalRef(cls);
          throw errors::fatal_error(
              fmt::format("Failed to get method id for ombrel logger {} method", METHOD_NAMES[i]));
        }
      }
      env_->DeleteLocalRef(cls);
    } catch (...) {
      close();
      throw;
    }
  }

  void write(level lvl, const std::string& message) noexcept override {
    jobject target = env_->NewLocalRef(weak_);
    if (target == nullptr) return;
    jstring text = env_->NewStringUTF(message.c_str());
    if (text != nullptr) {
      env_->CallVoidMethod(target, methods_[static_cast<int>(lvl)], text, nullptr);
      env_->DeleteLocalRef(text);
    }
    // A host logger that throws must not leave an exception pending on this thread.
    if (env_->ExceptionCheck()) env_->ExceptionClear();
    env_->DeleteLocalRef(target);
  }

  void close() noexcept override {
    if (env_->ExceptionCheck()) env_->ExceptionClear();
    if (weak_ != nullptr) env_->DeleteWeakGlobalRef(weak_);
    weak_ = nullptr;
    vm_->DetachCurrentThread();
  }

 private:
  JavaVM* vm_;
  jobject logger_;  // a global reference owned by setup(), valid while open() runs
  JNIEnv* env_ = nullptr;
  jweak weak_ = nullptr;
  jmethodID methods_[5] = {};
};

}  // namespace

void setup(level min_level, JNIEnv* env, jobject logger) {
  JavaVM* vm = nullptr;
  if (env->GetJavaVM(&vm) != JNI_OK || vm == nullptr) {
    throw errors::fatal_error("Failed to obtain a JavaVM interface");
  }
  jobject global = env->NewGlobalRef(logger);
  if (global == nullptr) throw errors::fatal_error("Failed to make a global logger reference");
  struct global_ref {
    JNIEnv* env;
    jobject ref;
    ~global_ref() { env->DeleteGlobalRef(ref); }
  } owner{env, global};
  // setup() returns only after the logger thread opened the sink (or gave up), so the global
  // reference outlives its use.
  setup(min_level, std::make_unique<java_sink>(vm, global));
}

}  // namespace ombrel::logging
