/* The native half of jltest.Native: a library found through addlibpath. */
#include <jni.h>

JNIEXPORT jstring JNICALL Java_jltest_Native_hello(JNIEnv* env, jclass cls) {
  (void)cls;
  return (*env)->NewStringUTF(env, "native hello");
}
