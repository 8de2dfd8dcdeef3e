package jltest;

import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.util.Scanner;

/** Reads a resource of its own through its class loader and prints its class path, as packed applications do. */
public class OwnResources {
    public static void main(String[] args) throws Exception {
        try (InputStream in = OwnResources.class.getClassLoader().getResourceAsStream("jltest/resource.txt");
                Scanner whole = new Scanner(in, StandardCharsets.UTF_8.name()).useDelimiter("\\A")) {
            System.out.print("resource " + whole.next());
        }
        System.out.println("class.path " + System.getProperty("java.class.path"));
    }
}
