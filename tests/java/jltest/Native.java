package jltest;

/** Loads the test build's JNI library through java.library.path and calls it. */
public class Native {
    private static native String hello();

    public static void main(String[] args) {
        System.loadLibrary("jltestnative");
        System.out.println(hello());
    }
}
