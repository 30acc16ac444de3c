#pragma once
// The log sink that hands records to the host's logger object through JNI. Part of the native
// boundary: nothing below it sees JNI.

#include <jni.h>

#include "native/log.h"

namespace ombrel::logging {

// Starts the sink that calls the host logger's "trace", "debug", "info", "warn" and "error"
// methods. A second call while a logger runs changes nothing.
void setup(level min_level, JNIEnv* env, jobject logger);

}  // namespace ombrel::logging
