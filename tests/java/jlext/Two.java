package jlext;

/** The second jar's extension. */
public class Two {
    @Override
    public String toString() {
        return "two";
    }
}
