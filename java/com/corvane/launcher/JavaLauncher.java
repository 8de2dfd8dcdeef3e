package com.corvane.launcher;

/**
 * What a Java application can ask of the jlauncher native launcher that started it.
 *
 * <p>When jlauncher runs the application, it finds this class right after it has created the Java VM,
 * sets {@link #nativeAvailable} and serves the class's native methods, all before the application's
 * {@code main} method is called. Started any other way (with {@code java -cp}, or by a launcher that
 * does not know the class), every method gives its "not available" answer; none of them ever throws
 * {@link UnsatisfiedLinkError}. An application can therefore call them unconditionally.
 *
 * <p>Put {@code jlauncher.jar} on the application's class path (Debian installs it as
 * {@code /usr/share/java/jlauncher.jar}), or merge it into the application's archive.
 */
public final class JavaLauncher {
    /**
     * True when a native launcher serves this class's native methods. The launcher sets it before the
     * application starts; applications read it and never set it.
     */
    public static boolean nativeAvailable;

    private JavaLauncher() {}

    /**
     * Tells whether the application was started by jlauncher.
     *
     * @return true under jlauncher, false under any other launcher
     */
    public static boolean isRunningUnderLauncher() {
        return nativeAvailable;
    }

    /**
     * Tells whether {@link #dumpAllStacks()} can print a dump on this Java runtime.
     *
     * @return true when the launcher can dump every thread's stack, false otherwise and outside the launcher
     */
    public static boolean canDumpAllStacks() {
        return nativeAvailable && checkIfRunningUnderLauncher0();
    }

    /**
     * Prints the stacks of all Java threads on standard output, as the launcher does on SIGQUIT.
     *
     * @return true when a dump was printed, false when none could be (always false outside the launcher)
     */
    public static boolean dumpAllStacks() {
        return nativeAvailable && dumpAllStacks0();
    }

    /** Hides the launcher's splash screen; does nothing when there is none or outside the launcher. */
    public static void hideSplashScreen() {
        if (nativeAvailable) hideSplashScreen0();
    }

    // Served by the launcher, which registers all ten by these names and signatures. The registry
    // operations have no store behind them on Unix and give fixed answers.
    private static native boolean dumpAllStacks0();

    private static native void hideSplashScreen0();

    private static native boolean checkIfRunningUnderLauncher0();

    private static native int getRegistryValueType0(int root, String key, String value);

    private static native String readRegistryStringValue0(int root, String key, String value);

    private static native byte[] readRegistryBinaryValue0(int root, String key, String value);

    private static native int readRegistryDwordValue0(int root, String key, String value);

    private static native boolean writeRegistryStringValue0(int root, String key, String value, String data);

    private static native boolean writeRegistryBinaryValue0(int root, String key, String value, byte[] data);

    private static native boolean writeRegistryDwordValue0(int root, String key, String value, int data);
}
