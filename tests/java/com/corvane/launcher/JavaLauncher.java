package com.corvane.launcher;

/** The launcher's companion class: the launcher sets nativeAvailable and serves the natives. */
public class JavaLauncher {
    public static boolean nativeAvailable;

    public static native boolean dumpAllStacks0();

    public static native void hideSplashScreen0();

    public static native boolean checkIfRunningUnderLauncher0();

    public static native int getRegistryValueType0(int root, String key, String value);

    public static native String readRegistryStringValue0(int root, String key, String value);

    public static native byte[] readRegistryBinaryValue0(int root, String key, String value);

    public static native int readRegistryDwordValue0(int root, String key, String value);

    public static native boolean writeRegistryStringValue0(int root, String key, String value, String data);

    public static native boolean writeRegistryBinaryValue0(int root, String key, String value, byte[] data);

    public static native boolean writeRegistryDwordValue0(int root, String key, String value, int data);

    public static native boolean notifyReady0();

    public static native boolean notifyStatus0(String status);
}
