package jltest;

/** Prints one word: the text of its "tell" system property. Used as a version and a usage class. */
public class Tell {
    public static void main(String[] args) {
        System.out.println(System.getProperty("tell", "nothing") + " " + args.length);
    }

    public static void usage(String[] args) {
        System.out.println("usage text");
    }
}
