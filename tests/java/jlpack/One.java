package jlpack;

/** The first jar's greeter. */
public class One implements Greeter {
    public String name() {
        return "one";
    }
}
