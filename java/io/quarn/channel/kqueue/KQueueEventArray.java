package io.quarn.channel.kqueue;

public final class KQueueEventArray {
    private KQueueEventArray() {
    }

    public static native void evSet(long keventAddress, int ident, short filter, short flags, int fflags);
}
