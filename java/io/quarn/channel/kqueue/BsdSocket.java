package io.quarn.channel.kqueue;

import io.quarn.channel.DefaultFileRegion;
import io.quarn.channel.unix.PeerCredentials;

public final class BsdSocket {
    private BsdSocket() {
    }

    public static native void setAcceptFilter(int fd, String filterName, String filterArgs);
    public static native void setTcpNoPush(int fd, int tcpNoPush);
    public static native void setSndLowAt(int fd, int lowAt);
    public static native String[] getAcceptFilter(int fd);
    public static native int getTcpNoPush(int fd);
    public static native int getSndLowAt(int fd);
    public static native long sendFile(int socketFd, DefaultFileRegion src, long baseOffset, long offset,
            long length);
    public static native PeerCredentials getPeerCredentials(int fd);
}
