package jltest;

import java.io.File;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;

/**
 * Counts its starts in the file named by its first argument and asks for a restart with the code of its second
 * argument, through getExitStatus ("status") or System.exit ("exit") as the third says: the first time, or as many
 * times as a fourth argument says. With a command port (corvane.socket) it listens on it and tells how many
 * descriptors it has open.
 */
public class Restart {
    private static int status;
    private static ServerSocket commandPort;

    public static void main(String[] args) throws Exception {
        Path counter = Paths.get(args[0]);
        int starts = Files.exists(counter) ? Integer.parseInt(new String(Files.readAllBytes(counter), StandardCharsets.UTF_8).trim()) + 1 : 1;
        Files.write(counter, Integer.toString(starts).getBytes(StandardCharsets.UTF_8));
        System.out.println("start " + starts + " in " + System.getProperty("user.dir"));
        String port = System.getProperty("corvane.socket");
        if (port != null) {
            commandPort = new ServerSocket(Integer.parseInt(port), 1, InetAddress.getLoopbackAddress());
            System.out.println("listening with " + new File("/proc/self/fd").list().length + " descriptors");
        }
        int restarts = args.length > 3 ? Integer.parseInt(args[3]) : 1;
        if (starts <= restarts) {
            int code = Integer.parseInt(args[1]);
            if (args[2].equals("exit")) {
                System.exit(code);
            }
            status = code;
        }
    }

    public static int getExitStatus() {
        return status;
    }
}
