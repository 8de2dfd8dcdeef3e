package jltest;

import java.awt.GraphicsEnvironment;
import java.awt.SplashScreen;
import java.io.File;

/** Prints its splash screen ("splash 120x80" or "splash none"); closes it once a file "go" exists. */
public class Splash {
    public static void main(String[] args) throws InterruptedException {
        SplashScreen splash = null;
        try {
            splash = GraphicsEnvironment.isHeadless() ? null : SplashScreen.getSplashScreen();
        } catch (UnsatisfiedLinkError e) {
            // A headless runtime's package has no splash library.
        }
        System.out.println(splash == null ? "splash none" : "splash " + splash.getSize().width + "x" + splash.getSize().height);
        for (int i = 0; splash != null && i < 600 && !new File("go").exists(); i++) {
            Thread.sleep(100);
        }
        if (splash != null) {
            splash.close();
            System.out.println("closed");
        }
    }
}
