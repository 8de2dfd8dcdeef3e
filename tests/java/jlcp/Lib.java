package jlcp;

/** The library in the jar the application's Class-Path names. */
public class Lib {
    public static String name() {
        return "the library";
    }
}
