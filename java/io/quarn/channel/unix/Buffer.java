package io.quarn.channel.unix;

import java.nio.ByteBuffer;

public final class Buffer {
    private Buffer() {
    }

    public static native long memoryAddress0(ByteBuffer buffer);
    public static native int addressSize0();
}
