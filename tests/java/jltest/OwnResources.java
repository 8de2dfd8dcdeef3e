package jltest;

import java.io.InputStream;
import java.nio.charset.StandardCharsets;

/** Reads a resource of its own through its class loader and prints its class path, as packed applications do. */
public class OwnResources {
    public static void main(String[] args) throws Exception {
        try (InputStream in = OwnResources.class.getClassLoader().getResourceAsStream("jltest/resource.txt")) {
            System.out.print("resource " + new String(in.readAllBytes(), StandardCharsets.UTF_8));
        }
        System.out.println("class.path " + System.getProperty("java.class.path"));
    }
}
