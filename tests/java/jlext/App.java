package jlext;

import java.io.InputStream;
import java.net.URL;
import java.util.Enumeration;
import java.util.Properties;

/**
 * Reads every extension descriptor on the class path, as Groovy reads its extension modules, and
 * prints what each listed class adds.
 */
public class App {
    public static void main(String[] args) throws Exception {
        Enumeration<URL> descriptors = App.class.getClassLoader().getResources("META-INF/services/jlext.Extensions");
        while (descriptors.hasMoreElements()) {
            Properties descriptor = new Properties();
            try (InputStream in = descriptors.nextElement().openStream()) {
                descriptor.load(in);
            }
            for (String name : descriptor.getProperty("extensionClasses", "").split(",")) {
                Object extension = Class.forName(name.trim()).getDeclaredConstructor().newInstance();
                System.out.println(name.trim() + " adds " + extension);
            }
        }
    }
}
