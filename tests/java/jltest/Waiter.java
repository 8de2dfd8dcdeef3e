package jltest;

import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.concurrent.atomic.AtomicInteger;

import com.corvane.launcher.JavaLauncher;

/**
 * Waits for the launcher's shutdown calls: prints "ready", then runs until cleanup has been called as many times as
 * its first argument says (0: not at all). With "linger", a non-daemon thread keeps the JVM alive for a minute after
 * main has returned; with "hook", a shutdown hook says when it runs; with "stoplinger" too, that hook first ends the
 * lingering thread and waits for it, as a server's hook stops its threads; with "until=FILE", main also waits until FILE
 * exists, so that the caller decides when the application may end; with "notify", it tells the service manager
 * its status (holding line breaks that must not start assignments of their own) and that it is ready, and which
 * notify variables it sees; with "listen=PORT[,PORT...]", a thread listens on each port of 127.0.0.1 in turn, 300 ms
 * apart, the first 300 ms after main started ("slowlisten": 1500 ms apart, a server that starts for longer than the
 * manager's watchdog interval). Two cleanup calls at once print "overlap".
 */
public class Waiter {
    private static final AtomicInteger cleanups = new AtomicInteger();
    private static final AtomicInteger running = new AtomicInteger();
    private static final java.util.List<java.net.ServerSocket> listening = new java.util.concurrent.CopyOnWriteArrayList<>();
    private static volatile Thread linger;

    public static void main(String[] args) throws Exception {
        int stopAfter = Integer.parseInt(args[0]);
        boolean stopLinger = java.util.Arrays.asList(args).contains("stoplinger");
        if (java.util.Arrays.asList(args).contains("hook")) {
            Runtime.getRuntime().addShutdownHook(new Thread(() -> {
                Thread lingering = linger;
                if (stopLinger && lingering != null) {
                    lingering.interrupt();
                    try {
                        lingering.join();
                    } catch (InterruptedException e) {
                        // the hook ends all the same
                    }
                }
                System.out.println("shutdown hook");
            }));
        }
        Path until = java.util.Arrays.stream(args).filter(arg -> arg.startsWith("until="))
                .map(arg -> Paths.get(arg.substring(6))).findFirst().orElse(null);
        if (java.util.Arrays.asList(args).contains("notify")) {
            System.out.println("notified " + JavaLauncher.notifyStatus0("serving\rMAINPID=1\nWATCHDOG=trigger") + " " + JavaLauncher.notifyReady0()
                    + " " + System.getenv("NOTIFY_SOCKET") + " " + System.getenv("WATCHDOG_USEC"));
        }
        java.util.Arrays.stream(args).filter(arg -> arg.startsWith("listen=")).findFirst().ifPresent(arg -> {
            long apart = java.util.Arrays.asList(args).contains("slowlisten") ? 1500 : 300;
            Thread listen = new Thread(() -> {
                try {
                    for (String port : arg.substring(7).split(",")) {
                        Thread.sleep(apart);
                        listening.add(new java.net.ServerSocket(Integer.parseInt(port), 50,
                                java.net.InetAddress.getLoopbackAddress()));
                    }
                } catch (Exception e) {
                    e.printStackTrace();
                }
            });
            listen.setDaemon(true);
            listen.start();
        });
        System.out.println("ready");
        long deadline = System.currentTimeMillis() + 60_000;
        while ((cleanups.get() < stopAfter || (until != null && !Files.exists(until)))
                && System.currentTimeMillis() < deadline) {
            Thread.sleep(20);
        }
        if (java.util.Arrays.asList(args).contains("linger")) {
            linger = new Thread(() -> {
                try {
                    Thread.sleep(60_000);
                } catch (InterruptedException e) {
                    System.out.println("linger ends");
                }
            });
            linger.start();
            System.out.println("lingering");
        }
        System.out.println("main ends");
    }

    public static void cleanup(boolean flag) throws InterruptedException {
        if (running.incrementAndGet() > 1) {
            say("overlap");
        }
        Thread.sleep(50);
        running.decrementAndGet();
        say("cleanup " + flag);
        cleanups.incrementAndGet();
    }

    public static void stop(boolean flag) {
        say("stop " + flag);
        cleanups.incrementAndGet();
    }

    /**
     * Prints a line in one write: before Java 17, println writes the line break apart, and another thread's line or
     * the JVM's stack dump may come between.
     */
    private static void say(String line) {
        System.out.print(line + "\n");
    }
}
