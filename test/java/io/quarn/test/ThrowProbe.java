package io.quarn.test;

/** Calls the library's exported throw functions, which no Java method reaches directly. */
public final class ThrowProbe {
    static {
        System.load(NativeLibrary.property("quarn.testnatives"));
    }

    private ThrowProbe() {
    }

    /** A handle on a copy of the library this JVM has loaded already, or 0. */
    public static native long bind(String libraryPath);

    /**
     * Calls quarn_unix_errors_ + function in that copy; message and errorNumber are passed
     * to the functions that take them.
     */
    public static native void call(long library, String function, String message, int errorNumber);
}
