// Native methods of com/corvane/launcher/JavaLauncher: a stack dump on
// request, the test whether the launcher can do that, the registry
// operations, which have no store behind them on Unix, and the messages to
// the service manager.

#include "service/dmp.h"

#include <string>
#include <thread>

#include "jvm/jev.h"
#include "service/jsv.h"
#include "host/ntf.h"
#include "host/sin.h"
#include "util/utrace.h"

namespace {

// Set once at registration, before the entry class runs; read by the natives.
// The launcher can dump the stacks through the JVM's own export or, on a
// modular runtime that lacks it, through the runtime's diagnostic command.
bool canDumpAllStacks = false;

jboolean JNICALL dumpAllStacks0(JNIEnv* env, jclass) {
  if (!canDumpAllStacks) return JNI_FALSE;
  return jsvPrintThreadDump(env) ? JNI_TRUE : JNI_FALSE;
}

void JNICALL hmdHideSplashScreen0(JNIEnv*, jclass) {}

jboolean JNICALL checkIfRunningUnderLauncher0(JNIEnv*, jclass) { return canDumpAllStacks ? JNI_TRUE : JNI_FALSE; }

jint JNICALL hmdGetRegistryValueType0(JNIEnv*, jclass, jint, jstring, jstring) { return 0; }
jstring JNICALL hmdReadRegistryStringValue0(JNIEnv*, jclass, jint, jstring, jstring) { return nullptr; }
jbyteArray JNICALL hmdReadRegistryBinaryValue0(JNIEnv*, jclass, jint, jstring, jstring) { return nullptr; }
jint JNICALL hmdReadRegistryDwordValue0(JNIEnv*, jclass, jint, jstring, jstring) { return -1; }
jboolean JNICALL hmdWriteRegistryStringValue0(JNIEnv*, jclass, jint, jstring, jstring, jstring) { return JNI_FALSE; }
jboolean JNICALL hmdWriteRegistryBinaryValue0(JNIEnv*, jclass, jint, jstring, jstring, jbyteArray) { return JNI_FALSE; }
jboolean JNICALL hmdWriteRegistryDwordValue0(JNIEnv*, jclass, jint, jstring, jstring, jint) { return JNI_FALSE; }

jboolean JNICALL notifyReady0(JNIEnv*, jclass) { return ntfSend("READY=1") ? JNI_TRUE : JNI_FALSE; }

// The status is one assignment of the protocol: a line break, or a carriage
// return, which the service manager also splits at, would start another
// (MAINPID=, WATCHDOG=) that the application did not mean to send. Every
// control character becomes a space.
jboolean JNICALL notifyStatus0(JNIEnv* env, jclass, jstring status) {
  const char* chars = status != nullptr ? env->GetStringUTFChars(status, nullptr) : nullptr;
  if (chars == nullptr) return JNI_FALSE;
  std::string message = std::string("STATUS=") + chars;
  env->ReleaseStringUTFChars(status, chars);
  for (char& c : message) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  return ntfSend(message) ? JNI_TRUE : JNI_FALSE;
}

constexpr const char* kCompanionClass = "com/corvane/launcher/JavaLauncher";

jbyteArray newBytes(JNIEnv* env, const std::string& text) {
  jbyteArray bytes = env->NewByteArray(static_cast<jsize>(text.size()));
  if (bytes != nullptr) {
    env->SetByteArrayRegion(bytes, 0, static_cast<jsize>(text.size()), reinterpret_cast<const jbyte*>(text.data()));
  }
  return bytes;
}

// The request goes over as bytes: the Java side decodes them as it decodes
// arguments, in the platform's encoding.
int deliverActivation(JNIEnv* env, jclass cls, jmethodID activate, const SinRequest& request) {
  if (activate == nullptr || env->PushLocalFrame(16) != 0) return 1;
  jclass bytesClass = env->FindClass("[B");
  jobjectArray args =
      bytesClass != nullptr ? env->NewObjectArray(static_cast<jsize>(request.args.size()), bytesClass, nullptr) : nullptr;
  for (std::size_t i = 0; args != nullptr && i < request.args.size(); ++i) {
    jbyteArray arg = newBytes(env, request.args[i]);
    env->SetObjectArrayElement(args, static_cast<jsize>(i), arg);
    env->DeleteLocalRef(arg);
  }
  jbyteArray directory = newBytes(env, request.workingDirectory);
  jbyteArray token = newBytes(env, request.activationToken);
  int status = 1;
  if (env->ExceptionCheck() == JNI_FALSE) status = env->CallStaticIntMethod(cls, activate, args, directory, token);
  if (env->ExceptionCheck() == JNI_TRUE) {
    env->ExceptionDescribe();
    status = 1;
  }
  env->PopLocalFrame(nullptr);
  return status;
}

template <typename F>
void* fn(F function) {
  return reinterpret_cast<void*>(function);
}

const JNINativeMethod nm[] = {
    {const_cast<char*>("dumpAllStacks0"), const_cast<char*>("()Z"), fn(dumpAllStacks0)},
    {const_cast<char*>("hideSplashScreen0"), const_cast<char*>("()V"), fn(hmdHideSplashScreen0)},
    {const_cast<char*>("checkIfRunningUnderLauncher0"), const_cast<char*>("()Z"), fn(checkIfRunningUnderLauncher0)},
    {const_cast<char*>("getRegistryValueType0"), const_cast<char*>("(ILjava/lang/String;Ljava/lang/String;)I"),
     fn(hmdGetRegistryValueType0)},
    {const_cast<char*>("readRegistryStringValue0"),
     const_cast<char*>("(ILjava/lang/String;Ljava/lang/String;)Ljava/lang/String;"), fn(hmdReadRegistryStringValue0)},
    {const_cast<char*>("readRegistryBinaryValue0"), const_cast<char*>("(ILjava/lang/String;Ljava/lang/String;)[B"),
     fn(hmdReadRegistryBinaryValue0)},
    {const_cast<char*>("readRegistryDwordValue0"), const_cast<char*>("(ILjava/lang/String;Ljava/lang/String;)I"),
     fn(hmdReadRegistryDwordValue0)},
    {const_cast<char*>("writeRegistryStringValue0"),
     const_cast<char*>("(ILjava/lang/String;Ljava/lang/String;Ljava/lang/String;)Z"), fn(hmdWriteRegistryStringValue0)},
    {const_cast<char*>("writeRegistryBinaryValue0"), const_cast<char*>("(ILjava/lang/String;Ljava/lang/String;[B)Z"),
     fn(hmdWriteRegistryBinaryValue0)},
    {const_cast<char*>("writeRegistryDwordValue0"), const_cast<char*>("(ILjava/lang/String;Ljava/lang/String;I)Z"),
     fn(hmdWriteRegistryDwordValue0)},
};

// Registered apart from the others: a companion class from an older release
// lacks them, and must keep the rest.
const JNINativeMethod serviceNatives[] = {
    {const_cast<char*>("notifyReady0"), const_cast<char*>("()Z"), fn(notifyReady0)},
    {const_cast<char*>("notifyStatus0"), const_cast<char*>("(Ljava/lang/String;)Z"), fn(notifyStatus0)},
};

}  // namespace

void dmpRegisterDumpFunction(JNIEnv* env, DumpAllStacks_t dumpFunction) {
  canDumpAllStacks = dumpFunction != nullptr || jevCanDumpAllStacks();
  jclass cls = env->FindClass("com/corvane/launcher/JavaLauncher");
  if (cls == nullptr) {
    env->ExceptionClear();
    return;
  }
  jfieldID nativeAvailable = env->GetStaticFieldID(cls, "nativeAvailable", "Z");
  if (nativeAvailable == nullptr) {
    ut_tproda("Launcher error: failed to find nativeAvailable field in JavaLauncher class");
    env->ExceptionClear();
    return;
  }
  // Set before registering: the Java side learns it runs under the launcher
  // even if registering fails.
  env->SetStaticBooleanField(cls, nativeAvailable, JNI_TRUE);
  if (env->RegisterNatives(cls, nm, static_cast<jint>(std::size(nm))) != 0) {
    env->ExceptionClear();
  } else {
    ut_tproda("Registered stack dump handler");
  }
  if (env->RegisterNatives(cls, serviceNatives, static_cast<jint>(std::size(serviceNatives))) != 0) {
    env->ExceptionClear();
    ut_tproda("The JavaLauncher class has no service manager methods");
  }
}

void dmpServeActivations(JNIEnv* env, int fd) {
  JavaVM* vm = nullptr;
  if (env->GetJavaVM(&vm) != JNI_OK) return;
  jclass cls = env->FindClass(kCompanionClass);
  jmethodID activate = cls != nullptr ? env->GetStaticMethodID(cls, "activate", "([[B[B[B)I") : nullptr;
  if (activate == nullptr) {
    env->ExceptionClear();
    ut_tproda("The application has no JavaLauncher class with an activation handler; later launches end with 1");
  }
  jclass global = cls != nullptr ? static_cast<jclass>(env->NewGlobalRef(cls)) : nullptr;
  // A daemon thread: the JVM ends when the application's threads do, not
  // when the last later launch has been served.
  std::thread([vm, global, activate, fd] {
    JNIEnv* threadEnv = nullptr;
    JavaVMAttachArgs attach{JNI_VERSION_1_2, const_cast<char*>("jlauncher single instance"), nullptr};
    if (vm->AttachCurrentThreadAsDaemon(reinterpret_cast<void**>(&threadEnv), &attach) != JNI_OK) return;
    auto handle = [&](const SinRequest& request) { return deliverActivation(threadEnv, global, activate, request); };
    while (sinServeOne(fd, handle)) {
    }
  }).detach();
}
