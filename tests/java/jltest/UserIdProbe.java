package jltest;

import com.corvane.kestrix.UserId;

/** Calls one of the user and group natives and tells what came of it. */
public class UserIdProbe {
    /** Probes the method its first argument names, with the second argument, and prints the outcome. */
    public static void main(String[] args) {
        System.out.println(probe(args[0], args.length > 1 ? args[1] : null));
    }

    public static String probe(String method, String arg) {
        UserId id = new UserId();
        try {
            boolean result;
            switch (method) {
                case "setUser":
                    result = id.setUser(arg);
                    break;
                case "setGroup":
                    result = id.setGroup(arg);
                    break;
                default:
                    result = id.isRootUser();
            }
            return Boolean.toString(result);
        } catch (RuntimeException e) {
            return e.getClass().getSimpleName() + ": " + e.getMessage();
        }
    }
}
