package jltest;

import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.Arrays;

import com.corvane.launcher.JavaLauncher;

/**
 * A single instance: sets its activation handler a second after it started (requests that come earlier are
 * queued), prints each later launch's request as "activate [ARGS] in DIR token TOKEN", and ends once the file its
 * first argument names exists.
 */
public class Activations {
    public static void main(String[] args) throws Exception {
        Thread.sleep(1000);
        JavaLauncher.setActivationHandler((later, directory, token) ->
                System.out.print("activate " + Arrays.toString(later) + " in " + directory + " token " + token + "\n"));
        System.out.println("handler set");
        long deadline = System.currentTimeMillis() + 60_000;
        while (!Files.exists(Paths.get(args[0])) && System.currentTimeMillis() < deadline) Thread.sleep(20);
    }
}
