package jlpack;

/** The second jar's greeter. */
public class Two implements Greeter {
    public String name() {
        return "two";
    }
}
