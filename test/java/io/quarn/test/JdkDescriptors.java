package io.quarn.test;

/** The descriptor numbers of JDK channels, so that the natives can work on JDK-made sockets and files. */
public final class JdkDescriptors {
    static {
        System.load(NativeLibrary.property("quarn.testnatives"));
    }

    private JdkDescriptors() {
    }

    /** The descriptor of a JDK socket, server socket, file or pipe channel; the JDK keeps owning it. */
    public static native int of(Object channel);
}
