package io.quarn.bench;

import io.quarn.channel.DefaultFileRegion;
import io.quarn.channel.kqueue.BsdSocket;
import io.quarn.channel.unix.Buffer;
import io.quarn.channel.unix.FileDescriptor;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.channels.SocketChannel;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;

/**
 * Bulk transfer over one loopback TCP connection in one thread: the writer fills the socket until
 * it would block, the reader empties it, until a fixed number of bytes has crossed. Compared: 64 KiB
 * writes (writeAddress, SocketChannel.write, write(2)) and sendfile of a file region (sendFile,
 * FileChannel.transferTo, sendfile(2)). All variants use the same socket buffer sizes and the same
 * 64 KiB reads.
 */
final class BulkBench {
    private static final String NAME_WRITE = "bulk 64 KiB writes";
    private static final String COMPARES_WRITE = "`writeAddress` vs NIO `SocketChannel.write` vs write(2) from C";
    private static final String NAME_SENDFILE = "sendFile of a file region";
    private static final String COMPARES_SENDFILE = "`BsdSocket.sendFile` vs NIO `FileChannel.transferTo` vs sendfile(2) from C";
    private static final int CHUNK = 64 * 1024;
    private static final int BUFFER_SIZE = 1024 * 1024;
    private static final long FILE_LENGTH = 8L * 1024 * 1024;
    private static final long DEADLINE_NANOS = 30_000_000_000L;
    private static final int SLICES = 4;

    private BulkBench() {
    }

    /** Writes at most {@code limit} bytes once; returns the bytes written, 0 or -EAGAIN when full. */
    private interface WriteSome {
        long write(long limit) throws IOException;
    }

    /** Reads once into the sink; returns bytes read, 0 or -EAGAIN when empty, -1 at the end. */
    private interface ReadSome {
        long read() throws IOException;
    }

    static void runWrites(int rounds, long total) {
        try {
            Rounds r = new Rounds(1, rounds, new String[] {"natives", "NIO", "C"}, Rounds.slices(SLICES,
                    () -> nativeWrites(total), () -> nioWrites(total),
                    () -> check(Baselines.bulkWrite(total, CHUNK, BUFFER_SIZE), "write in C")));
            report(r, total, NAME_WRITE, COMPARES_WRITE);
        } catch (Throwable t) {
            Report.skipped(NAME_WRITE, COMPARES_WRITE, t);
        }
    }

    static void runSendFile(int rounds, long total) {
        Path file = null;
        try {
            file = Files.createTempFile("quarn-bench", ".bin");
            byte[] block = new byte[CHUNK];
            for (int i = 0; i < block.length; i++) {
                block[i] = (byte) (i * 31);
            }
            try (FileChannel out = FileChannel.open(file, StandardOpenOption.WRITE)) {
                for (long written = 0; written < FILE_LENGTH; written += block.length) {
                    out.write(ByteBuffer.wrap(block));
                }
            }
            try (FileChannel channel = FileChannel.open(file, StandardOpenOption.READ)) {
                // The C loop opens the file itself, read-only.
                String path = file.toString();
                Rounds r = new Rounds(1, rounds, new String[] {"natives", "NIO", "C"}, Rounds.slices(SLICES,
                        () -> nativeSendFile(channel, total), () -> nioTransferTo(channel, total),
                        () -> check(Baselines.sendFile(path, FILE_LENGTH, total, BUFFER_SIZE), "sendfile in C")));
                report(r, total, NAME_SENDFILE, COMPARES_SENDFILE);
            }
        } catch (Throwable t) {
            Report.skipped(NAME_SENDFILE, COMPARES_SENDFILE, t);
        } finally {
            if (file != null) {
                try {
                    Files.deleteIfExists(file);
                } catch (IOException ignored) {
                    // A temporary file left behind is harmless.
                }
            }
        }
    }

    private static void report(Rounds r, long total, String name, String compares) {
        double mib = total / (1024.0 * 1024.0);
        double natives = mib / (r.median(0) / 1e9);
        double nio = mib / (r.median(1) / 1e9);
        double c = mib / (r.median(2) / 1e9);
        // Figures are nanoseconds for the same bytes; throughput ratios are their inverse.
        double vsC = r.ratio(2, 0);
        Report.line("%s: natives %.0f MiB/s, NIO %.0f MiB/s, C %.0f MiB/s; natives/C %.3f, natives/NIO %.3f", name,
                natives, nio, c, vsC, r.ratio(1, 0));
        Report.atLeast(name, compares, Report.fmt("natives %.0f, NIO %.0f, C %.0f MiB/s", natives, nio, c), vsC, 0.97);
    }

    private static double check(long nanos, String what) {
        NativeNet.check((int) Math.max(Math.min(nanos, 0), Integer.MIN_VALUE), what);
        return nanos;
    }

    /** The loop every Java variant shares, the same as the C one; returns its nanoseconds. */
    private static double transfer(long total, WriteSome writer, ReadSome reader) throws IOException {
        long sent = 0;
        long received = 0;
        long start = System.nanoTime();
        long deadline = start + DEADLINE_NANOS;
        while (received < total) {
            while (sent < total) {
                long n = writer.write(total - sent);
                if (n <= 0) {
                    break;
                }
                sent += n;
            }
            for (;;) {
                long n = reader.read();
                if (n == -1) {
                    throw new IOException("the connection ended early");
                }
                if (n <= 0) {
                    break;
                }
                received += n;
            }
            if (System.nanoTime() > deadline) {
                throw new IOException("bulk transfer timed out");
            }
        }
        return System.nanoTime() - start;
    }

    private static ReadSome nativeReader(int fd, long sinkAddress) {
        int eagain = NativeNet.eagain();
        return () -> {
            int n = FileDescriptor.readAddress(fd, sinkAddress, 0, CHUNK);
            if (n > 0 || n == -eagain) {
                return n;
            }
            throw new IOException(n == 0 ? "the connection ended early" : "read failed: " + n);
        };
    }

    private static long nativeWritten(int n, int eagain, String what) throws IOException {
        if (n >= 0 || n == -eagain) {
            return n;
        }
        throw new IOException(what + " failed: " + n);
    }

    private static double nativeWrites(long total) throws Exception {
        int[] pair = NativeNet.pair(BUFFER_SIZE);
        try {
            ByteBuffer source = ByteBuffer.allocateDirect(CHUNK);
            ByteBuffer sink = ByteBuffer.allocateDirect(CHUNK);
            long sourceAddress = Buffer.memoryAddress0(source);
            int client = pair[1];
            int eagain = NativeNet.eagain();
            return transfer(total,
                    limit -> nativeWritten(FileDescriptor.writeAddress(client, sourceAddress, 0, (int) Math.min(limit, CHUNK)),
                            eagain, "writeAddress"),
                    nativeReader(pair[0], Buffer.memoryAddress0(sink)));
        } finally {
            FileDescriptor.close(pair[0]);
            FileDescriptor.close(pair[1]);
        }
    }

    private static double nativeSendFile(FileChannel file, long total) throws Exception {
        int[] pair = NativeNet.pair(BUFFER_SIZE);
        try {
            ByteBuffer sink = ByteBuffer.allocateDirect(CHUNK);
            DefaultFileRegion region = new DefaultFileRegion(file, 0, FILE_LENGTH);
            int client = pair[1];
            int eagain = NativeNet.eagain();
            long[] position = new long[1];
            return transfer(total, limit -> {
                long n = BsdSocket.sendFile(client, region, 0, position[0], Math.min(limit, FILE_LENGTH - position[0]));
                if (n > 0) {
                    position[0] = (position[0] + n) % FILE_LENGTH;
                    return n;
                }
                return nativeWritten((int) n, eagain, "sendFile");
            }, nativeReader(pair[0], Buffer.memoryAddress0(sink)));
        } finally {
            FileDescriptor.close(pair[0]);
            FileDescriptor.close(pair[1]);
        }
    }

    private static double nioWrites(long total) throws IOException {
        SocketChannel[] pair = NativeNet.nioPair(BUFFER_SIZE);
        try (SocketChannel server = pair[0]; SocketChannel client = pair[1]) {
            ByteBuffer source = ByteBuffer.allocateDirect(CHUNK);
            ByteBuffer sink = ByteBuffer.allocateDirect(CHUNK);
            return transfer(total, limit -> {
                source.clear().limit((int) Math.min(limit, CHUNK));
                return client.write(source);
            }, () -> {
                sink.clear();
                return server.read(sink);
            });
        }
    }

    private static double nioTransferTo(FileChannel file, long total) throws IOException {
        SocketChannel[] pair = NativeNet.nioPair(BUFFER_SIZE);
        try (SocketChannel server = pair[0]; SocketChannel client = pair[1]) {
            ByteBuffer sink = ByteBuffer.allocateDirect(CHUNK);
            long[] position = new long[1];
            return transfer(total, limit -> {
                long n = file.transferTo(position[0], Math.min(limit, FILE_LENGTH - position[0]), client);
                position[0] = (position[0] + n) % FILE_LENGTH;
                return n;
            }, () -> {
                sink.clear();
                return server.read(sink);
            });
        }
    }
}
