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
     * Receives what a later launch of the application hands the running instance, when the launcher's
     * configuration has {@code singleinstance}: the later launch starts no Java VM of its own.
     */
    public interface ActivationHandler {
        /**
         * Handles one later launch. It runs on the launcher's listening thread, and the later launch waits
         * until it returns: an application with a user interface hands the work to its own thread.
         *
         * @param args the later launch's application arguments, as given (relative paths are relative to
         *     {@code workingDirectory})
         * @param workingDirectory the later launch's working directory
         * @param activationToken the desktop's token for raising a window ({@code XDG_ACTIVATION_TOKEN},
         *     else {@code DESKTOP_STARTUP_ID}), or null when the later launch had none
         * @throws Exception to make the later launch end with status 1
         */
        void activate(String[] args, String workingDirectory, String activationToken) throws Exception;
    }

    private static ActivationHandler activationHandler;
    private static final java.util.List<String[][]> pendingActivations = new java.util.ArrayList<String[][]>();

    /**
     * Sets the handler of later launches. Requests that arrived before a handler was set were queued;
     * the new handler receives them first, in their order, before this method returns.
     *
     * @param handler the handler, or null to queue requests again
     */
    public static synchronized void setActivationHandler(ActivationHandler handler) {
        activationHandler = handler;
        while (handler != null && !pendingActivations.isEmpty()) {
            String[][] queued = pendingActivations.remove(0);
            deliver(handler, queued[0], queued[1][0], queued[1][1]);
        }
    }

    private static int deliver(ActivationHandler handler, String[] args, String workingDirectory, String token) {
        try {
            handler.activate(args, workingDirectory, token);
            return 0;
        } catch (Exception e) {
            e.printStackTrace();
            return 1;
        }
    }

    // Called by the launcher's listening thread with the bytes a later launch sent, which are in the
    // platform's encoding as arguments are; returns the status that launch ends with. A request without
    // a handler is queued and the later launch ends with 0: it was taken.
    private static synchronized int activate(byte[][] args, byte[] workingDirectory, byte[] token) {
        String[] decoded = new String[args.length];
        for (int i = 0; i < args.length; i++) decoded[i] = platformString(args[i]);
        String directory = platformString(workingDirectory);
        String activationToken = token.length == 0 ? null : platformString(token);
        if (activationHandler == null) {
            pendingActivations.add(new String[][] {decoded, {directory, activationToken}});
            return 0;
        }
        return deliver(activationHandler, decoded, directory, activationToken);
    }

    private static String platformString(byte[] bytes) {
        String encoding = System.getProperty("sun.jnu.encoding");
        if (encoding != null) {
            try {
                return new String(bytes, encoding);
            } catch (java.io.UnsupportedEncodingException e) {
                // the default charset then
            }
        }
        return new String(bytes);
    }

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

    /**
     * Tells the service manager (systemd, through the socket it names in {@code NOTIFY_SOCKET}) that the
     * application is ready to serve. The launcher says so itself when it calls {@code main}, unless its
     * configuration has {@code options notifyready}: then the application calls this once it really serves.
     *
     * @return true when the message was sent, false without a service manager and outside the launcher
     */
    public static boolean notifyReady() {
        try {
            return nativeAvailable && notifyReady0();
        } catch (UnsatisfiedLinkError e) {
            return false; // a launcher from before service managers were supported
        }
    }

    /**
     * Tells the service manager what the application is doing, in one line that {@code systemctl status}
     * shows (a line break in the text is sent as a space).
     *
     * @param status the text to show
     * @return true when the message was sent, false without a service manager and outside the launcher
     */
    public static boolean notifyStatus(String status) {
        try {
            return nativeAvailable && status != null && notifyStatus0(status);
        } catch (UnsatisfiedLinkError e) {
            return false; // a launcher from before service managers were supported
        }
    }

    // Served by the launcher, which registers the first ten by these names and signatures, and the
    // service manager's two apart, so that an older class keeps the rest. The registry operations have no
    // store behind them on Unix and give fixed answers.
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

    private static native boolean notifyReady0();

    private static native boolean notifyStatus0(String status);
}
