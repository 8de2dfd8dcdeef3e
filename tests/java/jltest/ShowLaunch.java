package jltest;

/** Prints what it was started with: its arguments, the system properties named by "show", its directory. */
public class ShowLaunch {
    public static void main(String[] args) {
        System.out.println("args " + args.length);
        for (String arg : args) {
            System.out.println("arg <" + arg + ">");
        }
        for (String name : System.getProperty("show", "").split(",")) {
            if (!name.isEmpty()) {
                System.out.println("prop " + name + "=<" + System.getProperty(name) + ">");
            }
        }
        System.out.println("dir " + System.getProperty("user.dir"));
    }

    /** The same, from a nested class, which says it was the one started. */
    public static class Nested {
        public static void main(String[] args) {
            System.out.println("nested");
            ShowLaunch.main(args);
        }
    }
}
