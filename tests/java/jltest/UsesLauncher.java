package jltest;

import com.corvane.launcher.JavaLauncher;

/** Reports what the launcher's companion class sees; with "dump", dumps all stacks through it. */
public class UsesLauncher {
    public static void main(String[] args) {
        System.out.println("nativeAvailable " + JavaLauncher.nativeAvailable);
        if (JavaLauncher.nativeAvailable) {
            System.out.println("underLauncher " + JavaLauncher.checkIfRunningUnderLauncher0());
            System.out.println("registryType " + JavaLauncher.getRegistryValueType0(0, "k", "v"));
            System.out.println("registryDword " + JavaLauncher.readRegistryDwordValue0(0, "k", "v"));
            System.out.println("registryString " + JavaLauncher.readRegistryStringValue0(0, "k", "v"));
            System.out.println("registryWrite " + JavaLauncher.writeRegistryStringValue0(0, "k", "v", "x"));
            if (args.length > 0 && args[0].equals("dump")) {
                System.out.println("dumped " + JavaLauncher.dumpAllStacks0());
            }
        }
    }
}
