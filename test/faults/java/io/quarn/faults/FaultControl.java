package io.quarn.faults;

import io.quarn.test.NativeLibrary;

/**
 * The fault injector's controls (reached through the test-only JNI helper) and direct calls
 * of the product library's load and unload entry points.
 */
final class FaultControl {
    static {
        System.load(NativeLibrary.property("quarn.testnatives"));
    }

    private FaultControl() {
    }

    /** Whether the injector is preloaded into this JVM. */
    static native boolean available();

    /** How many functions the injector wraps; their ids run from 0. */
    static native int functions();

    static native String name(int id);

    /** How many copies of the library under test the injector watches. */
    static native int ranges();

    /** Zeroes every call count and makes the nth call of function id fail with errno (nth 0: none). */
    static native void arm(int id, long nth, int errno);

    /** Calls of function id from the library since the last arm. */
    static native long calls(int id);

    /** Failures injected since the last arm. */
    static native long fired();

    /** Bytes the library holds from the C allocator: what it allocated less what it freed. */
    static native long heldBytes();

    /** The library offset of the call site that failed last. */
    static native long firedSite();

    /** Library offsets of every call site of function id seen so far. */
    static native long[] sites(int id);

    static native int callOnLoad(String path);

    static native boolean callOnUnload(String path);

    static native int errno(String name);

    static void disarm() {
        arm(-1, 0, 0);
    }

    static int id(String name) {
        for (int id = 0; id < functions(); id++) {
            if (name(id).equals(name)) {
                return id;
            }
        }
        throw new IllegalArgumentException("the injector does not wrap " + name);
    }
}
