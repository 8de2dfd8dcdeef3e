package jlpack;

/** The service each jar of a packed application provides. */
public interface Greeter {
    String name();
}
