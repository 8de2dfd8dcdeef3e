// Natives of com.corvane.kestrix.UserId (Solaris build): a server started as
// root drops to another user and group. The JVM runs in the launcher's
// process, so these live in the executable, exported under their JNI names
// and registered with the JVM.

#include <errno.h>
#include <grp.h>
#include <jni.h>
#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "host/userid.h"
#include "util/utrace.h"

namespace {

constexpr const char* kNullValue = "null value";
constexpr std::size_t kMessageSize = 128;

void throwNew(JNIEnv* env, const char* className, const char* message) {
  if (jclass cls = env->FindClass(className)) env->ThrowNew(cls, message);
}

// Shared by setUser and setGroup: a numeric id or a name looked up in the
// database; an invalid id or an unknown name throws, a refusal for lack of
// privilege only returns false.
template <typename Lookup, typename Change>
jboolean changeId(JNIEnv* env, jstring text, Lookup lookup, Change change, const char* invalidIdFormat,
                  const char* unknownNameFormat) {
  if (text == nullptr) {
    throwNew(env, "java/lang/NullPointerException", kNullValue);
    return JNI_FALSE;
  }
  const char* chars = env->GetStringUTFChars(text, nullptr);
  if (chars == nullptr) return JNI_FALSE;
  jboolean result = JNI_FALSE;
  char message[kMessageSize];
  if (std::isdigit(static_cast<unsigned char>(chars[0]))) {
    if (change(std::atoi(chars)) == 0) {
      result = JNI_TRUE;
    } else if (errno == EINVAL) {
      std::snprintf(message, sizeof message, invalidIdFormat, chars);
      throwNew(env, "java/lang/IllegalArgumentException", message);
    }
  } else if (auto id = lookup(chars); id < 0) {
    std::snprintf(message, sizeof message, unknownNameFormat, chars);
    throwNew(env, "java/lang/IllegalArgumentException", message);
  } else {
    result = change(id) == 0 ? JNI_TRUE : JNI_FALSE;
  }
  // Released whether or not the JVM copied: a JVM that hands out its own
  // characters keeps the string pinned until then.
  env->ReleaseStringUTFChars(text, chars);
  return result;
}

long long userOf(const char* name) {
  const passwd* entry = getpwnam(name);
  return entry ? static_cast<long long>(entry->pw_uid) : -1;
}

long long groupOf(const char* name) {
  const group* entry = getgrnam(name);
  return entry ? static_cast<long long>(entry->gr_gid) : -1;
}

}  // namespace

extern "C" {

JNIEXPORT jboolean JNICALL Java_com_corvane_kestrix_UserId_setUser(JNIEnv* env, jobject, jstring user) {
  return changeId(
      env, user, userOf, [](long long id) { return setuid(static_cast<uid_t>(id)); }, "Invalid user id: %s",
      "Invalid user: %s");
}

JNIEXPORT jboolean JNICALL Java_com_corvane_kestrix_UserId_setGroup(JNIEnv* env, jobject, jstring group) {
  return changeId(
      env, group, groupOf, [](long long id) { return setgid(static_cast<gid_t>(id)); }, "Invalid group id: %s",
      "Invalid group: %s");
}

JNIEXPORT jboolean JNICALL Java_com_corvane_kestrix_UserId_isRootUser(JNIEnv*, jobject) {
  return getuid() == 0 || geteuid() == 0 ? JNI_TRUE : JNI_FALSE;
}
}

// A JVM binds a native method only from the libraries its class's loader
// loaded; the executable is none of them, so the launcher registers the
// natives itself once the JVM exists, when the application has the class.
void hmdRegisterUserIdNatives(JNIEnv* env) {
  jclass cls = env->FindClass("com/corvane/kestrix/UserId");
  if (cls == nullptr) {
    env->ExceptionClear();
    return;
  }
  const JNINativeMethod natives[] = {
      {const_cast<char*>("setUser"), const_cast<char*>("(Ljava/lang/String;)Z"),
       reinterpret_cast<void*>(Java_com_corvane_kestrix_UserId_setUser)},
      {const_cast<char*>("setGroup"), const_cast<char*>("(Ljava/lang/String;)Z"),
       reinterpret_cast<void*>(Java_com_corvane_kestrix_UserId_setGroup)},
      {const_cast<char*>("isRootUser"), const_cast<char*>("()Z"),
       reinterpret_cast<void*>(Java_com_corvane_kestrix_UserId_isRootUser)},
  };
  if (env->RegisterNatives(cls, natives, static_cast<jint>(std::size(natives))) != 0) {
    env->ExceptionClear();
  } else {
    ut_tproda("Registered the user and group natives");
  }
  env->DeleteLocalRef(cls);
}
