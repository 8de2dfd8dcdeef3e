package jlpack;

import com.corvane.launcher.JavaLauncher;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.Scanner;
import java.util.ServiceLoader;

/** A packed application: lists the greeters of every merged jar, the resource it got, its arguments. */
public class App {
    public static void main(String[] args) throws Exception {
        List<String> names = new ArrayList<>();
        for (Greeter greeter : ServiceLoader.load(Greeter.class)) names.add(greeter.name());
        Collections.sort(names);
        System.out.println("greeters " + names);
        try (Scanner which = new Scanner(App.class.getResourceAsStream("which.txt"), "UTF-8").useDelimiter("\\A")) {
            System.out.println("which " + which.next().trim());
        }
        System.out.println("args " + Arrays.toString(args));
        System.out.println("launcher " + JavaLauncher.isRunningUnderLauncher() + " " + JavaLauncher.canDumpAllStacks());
        if (!JavaLauncher.isRunningUnderLauncher()) System.out.println("dumped " + JavaLauncher.dumpAllStacks());
        JavaLauncher.hideSplashScreen();
    }
}
