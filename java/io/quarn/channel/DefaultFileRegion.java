package io.quarn.channel;

import java.nio.channels.FileChannel;

/** A region of a file to send with sendFile; the library reads {@code file} and writes {@code transferred}. */
public class DefaultFileRegion {
    private final FileChannel file;
    private final long position;
    private final long count;
    private long transferred;

    public DefaultFileRegion(FileChannel file, long position, long count) {
        this.file = file;
        this.position = position;
        this.count = count;
    }

    public FileChannel file() {
        return file;
    }

    public long position() {
        return position;
    }

    public long count() {
        return count;
    }

    public long transferred() {
        return transferred;
    }
}
