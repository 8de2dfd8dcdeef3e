package jltest;

import java.nio.file.Files;
import java.nio.file.Path;

/**
 * Counts its starts in the file named by its first argument and asks for a restart the first time, with the
 * code of its second argument: through getExitStatus ("status") or System.exit ("exit") as the third says.
 */
public class Restart {
    private static int status;

    public static void main(String[] args) throws Exception {
        Path counter = Path.of(args[0]);
        int starts = Files.exists(counter) ? Integer.parseInt(Files.readString(counter).trim()) + 1 : 1;
        Files.writeString(counter, Integer.toString(starts));
        System.out.println("start " + starts + " in " + System.getProperty("user.dir"));
        if (starts == 1) {
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
