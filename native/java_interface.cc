#include <jni.h>
extern "C" JNIEXPORT void JNICALL JNI_OnUnload(JavaVM*, void*) {}
