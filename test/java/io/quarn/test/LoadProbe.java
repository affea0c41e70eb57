package io.quarn.test;

/** Child-JVM entry: loads the library named by the first argument and reports the outcome. */
public final class LoadProbe {
    private LoadProbe() {
    }

    public static void main(String[] args) {
        try {
            System.load(args[0]);
            System.out.println("LOADED");
            if (args.length > 1 && args[1].equals("iovMax")) {
                System.out.println("iovMax=" + io.quarn.channel.unix.LimitsStaticallyReferencedJniMethods.iovMax());
            }
        } catch (UnsatisfiedLinkError | NoSuchMethodError e) {
            System.out.println(e.getClass().getSimpleName() + ": " + e.getMessage());
        }
    }
}
