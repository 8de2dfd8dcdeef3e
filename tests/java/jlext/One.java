package jlext;

/** The first jar's extension. */
public class One {
    @Override
    public String toString() {
        return "one";
    }
}
