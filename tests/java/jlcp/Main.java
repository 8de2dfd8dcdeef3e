package jlcp;

/** An application whose library is named by its jar's Class-Path. */
public class Main {
    public static void main(String[] args) {
        System.out.println("main uses " + Lib.name());
    }
}
