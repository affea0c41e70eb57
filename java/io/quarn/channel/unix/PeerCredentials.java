package io.quarn.channel.unix;

/** The credentials of the peer of a connected local socket. */
public final class PeerCredentials {
    private final int pid;
    private final int uid;
    private final int[] gids;

    public PeerCredentials(int pid, int uid, int[] gids) {
        this.pid = pid;
        this.uid = uid;
        this.gids = gids;
    }

    public int pid() {
        return pid;
    }

    public int uid() {
        return uid;
    }

    public int[] gids() {
        return gids.clone();
    }
}
