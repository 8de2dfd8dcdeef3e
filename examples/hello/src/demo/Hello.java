package demo;

import com.corvane.launcher.JavaLauncher;

/** The example application: greets, lists its arguments, and ends with the status it was asked for. */
public class Hello {
    private static int status;

    public static void main(String[] args) {
        System.out.println("Hello, " + System.getProperty("demo.greeting", "world") + "!");
        System.out.println("Java " + System.getProperty("java.version") + " from " + System.getProperty("java.home"));
        System.out.println("Started by " + System.getProperty("launcher.program"));
        System.out.println("Running under jlauncher: " + (JavaLauncher.isRunningUnderLauncher() ? "yes" : "no"));
        for (String arg : args) {
            if (arg.startsWith("--status=")) {
                status = Integer.parseInt(arg.substring("--status=".length()));
            }
            System.out.println("  argument: " + arg);
        }
    }

    /** The launcher ends with this status once main has returned. */
    public static int getExitStatus() {
        return status;
    }
}
