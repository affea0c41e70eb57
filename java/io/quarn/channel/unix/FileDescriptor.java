package io.quarn.channel.unix;

import java.nio.ByteBuffer;

public final class FileDescriptor {
    private FileDescriptor() {
    }

    public static native int close(int fd);
    public static native int open(String path);
    public static native int write(int fd, ByteBuffer buf, int pos, int limit);
    public static native int writeAddress(int fd, long address, int pos, int limit);
    public static native long writevAddresses(int fd, long memoryAddress, int length);
    public static native long writev(int fd, ByteBuffer[] buffers, int offset, int length, long maxBytesToWrite);
    public static native int read(int fd, ByteBuffer buf, int pos, int limit);
    public static native int readAddress(int fd, long address, int pos, int limit);
    public static native long newPipe();
}
