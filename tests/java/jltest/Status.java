package jltest;

/**
 * Ends in the way its arguments ask: "status N" (returned through getExitStatus), "exit N" (System.exit in
 * main), "throw", or "status N later-exit M" (a thread calls System.exit(M) after main has returned).
 */
public class Status {
    private static int status;

    public static void main(String[] args) throws Exception {
        for (int i = 0; i < args.length; i++) {
            switch (args[i]) {
                case "status":
                    status = Integer.parseInt(args[++i]);
                    break;
                case "exit":
                    System.exit(Integer.parseInt(args[++i]));
                    break;
                case "throw":
                    throw new IllegalStateException("boom");
                case "later-exit":
                    int code = Integer.parseInt(args[++i]);
                    Thread later = new Thread(() -> {
                        try {
                            Thread.sleep(500);
                        } catch (InterruptedException e) {
                            return;
                        }
                        System.exit(code);
                    });
                    later.start();
                    break;
                default:
                    System.out.println("unknown " + args[i]);
            }
        }
        System.out.println("main returns");
    }

    public static int getExitStatus() {
        System.out.println("status " + status);
        return status;
    }
}
