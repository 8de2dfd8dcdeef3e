// userid: the user and group natives of the Solaris build
// (com.corvane.kestrix.UserId).
#pragma once

#include <jni.h>

extern "C" {
JNIEXPORT jboolean JNICALL Java_com_corvane_kestrix_UserId_setUser(JNIEnv* env, jobject, jstring user);
JNIEXPORT jboolean JNICALL Java_com_corvane_kestrix_UserId_setGroup(JNIEnv* env, jobject, jstring group);
JNIEXPORT jboolean JNICALL Java_com_corvane_kestrix_UserId_isRootUser(JNIEnv* env, jobject);
}

/// Registers the three natives with com.corvane.kestrix.UserId when the JVM
/// can load that class; otherwise nothing happens.
void hmdRegisterUserIdNatives(JNIEnv* env);
