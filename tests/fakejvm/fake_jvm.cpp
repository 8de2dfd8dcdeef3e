// A stand-in for a JVM library, so that loading can be tested without a JVM:
// it exports the invocation functions a launcher looks up, and creates no JVM.

#include <jni.h>

extern "C" {

JNIEXPORT jint JNICALL JNI_CreateJavaVM(JavaVM**, void**, void*) { return JNI_ERR; }

#ifndef FAKE_JVM_WITHOUT_DEFAULTS
JNIEXPORT jint JNICALL JNI_GetDefaultJavaVMInitArgs(void*) { return JNI_ERR; }
#endif
}
