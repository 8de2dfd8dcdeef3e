package demo;

import com.corvane.launcher.JavaLauncher;
import java.awt.BorderLayout;
import java.awt.Font;
import java.awt.SplashScreen;
import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import javax.swing.JFrame;
import javax.swing.JScrollPane;
import javax.swing.JTabbedPane;
import javax.swing.JTextArea;
import javax.swing.SwingUtilities;
import javax.swing.WindowConstants;

/**
 * The example desktop application: shows each file it is given in a tab of one window. With
 * singleinstance, a file opened while it runs (from the desktop's file manager, or a second start)
 * arrives in the running window through the activation handler.
 */
public class Viewer {
    private static JTabbedPane tabs;

    public static void main(String[] args) throws Exception {
        SplashScreen splash = SplashScreen.getSplashScreen();
        System.out.println("Splash screen: " + (splash != null ? "shown" : "none"));
        System.out.println("Maximum heap: " + Runtime.getRuntime().maxMemory() / (1024 * 1024) + " MiB");
        if (splash != null) {
            // Long enough to be seen at all.
            Thread.sleep(Long.getLong("viewer.splashMillis", 1500L));
        }
        String workingDirectory = System.getProperty("user.dir");
        SwingUtilities.invokeAndWait(() -> {
            JFrame frame = new JFrame("Notes Viewer");
            tabs = new JTabbedPane();
            frame.add(tabs, BorderLayout.CENTER);
            frame.setDefaultCloseOperation(WindowConstants.EXIT_ON_CLOSE);
            frame.setSize(640, 400);
            frame.setLocation(80, 60);
            frame.setVisible(true);
            open(args, workingDirectory);
        });
        if (splash != null && splash.isVisible()) splash.close();
        JavaLauncher.setActivationHandler((later, directory, token) ->
                SwingUtilities.invokeLater(() -> open(later, directory)));
    }

    private static void open(String[] names, String workingDirectory) {
        for (String name : names) {
            File file = new File(name).isAbsolute() ? new File(name) : new File(workingDirectory, name);
            JTextArea text = new JTextArea();
            text.setFont(new Font(Font.MONOSPACED, Font.PLAIN, 16));
            try {
                text.setText(new String(Files.readAllBytes(file.toPath()), StandardCharsets.UTF_8));
            } catch (IOException e) {
                text.setText("Cannot read " + file + ": " + e);
            }
            text.setEditable(false);
            tabs.addTab(file.getName(), new JScrollPane(text));
            tabs.setSelectedIndex(tabs.getTabCount() - 1);
            System.out.println("Opened " + file);
        }
        System.out.flush();
    }
}
