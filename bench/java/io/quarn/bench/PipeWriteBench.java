package io.quarn.bench;

import io.quarn.channel.unix.Buffer;
import io.quarn.channel.unix.FileDescriptor;
import java.nio.ByteBuffer;

/**
 * One-byte writes into a pipe: {@code writeAddress} and {@code write(ByteBuffer)} from Java against
 * the same write(2) in a C loop, and the thinnest possible JNI native around write(2), which shows
 * what the JVM itself adds. The pipe is emptied between batches, outside the timed part, so that
 * every write finds room.
 */
final class PipeWriteBench {
    private static final String NAME_ADDRESS = "1-byte writeAddress into a pipe";
    private static final String NAME_BUFFER = "1-byte write(ByteBuffer) into a pipe";
    private static final String COMPARES_ADDRESS = "`FileDescriptor.writeAddress` vs write(2) from C";
    private static final String COMPARES_BUFFER = "`FileDescriptor.write(ByteBuffer)` vs write(2) from C";
    // A Linux pipe of 64 KiB merges small writes into its pages, so a batch well below that fits.
    private static final int BATCH = 1024;
    private static final int SLICES = 24;

    private PipeWriteBench() {
    }

    static void run(int rounds) {
        int readFd = -1;
        int writeFd = -1;
        try {
            long pipe = FileDescriptor.newPipe();
            NativeNet.check((int) Math.min(pipe, 0), "pipe");
            readFd = (int) (pipe >>> 32);
            writeFd = (int) pipe;
            ByteBuffer source = ByteBuffer.allocateDirect(1);
            ByteBuffer sink = ByteBuffer.allocateDirect(64 * 1024);
            long sourceAddress = Buffer.memoryAddress0(source);
            long sinkAddress = Buffer.memoryAddress0(sink);
            final int in = readFd;
            final int out = writeFd;
            Rounds.Variant address = () -> {
                long start = System.nanoTime();
                for (int i = 0; i < BATCH; i++) {
                    if (FileDescriptor.writeAddress(out, sourceAddress, 0, 1) != 1) {
                        throw new IllegalStateException("writeAddress failed");
                    }
                }
                return perWrite(System.nanoTime() - start, in, sinkAddress);
            };
            Rounds.Variant buffer = () -> {
                long start = System.nanoTime();
                for (int i = 0; i < BATCH; i++) {
                    if (FileDescriptor.write(out, source, 0, 1) != 1) {
                        throw new IllegalStateException("write failed");
                    }
                }
                return perWrite(System.nanoTime() - start, in, sinkAddress);
            };
            Rounds.Variant bare = () -> {
                long start = System.nanoTime();
                for (int i = 0; i < BATCH; i++) {
                    if (Baselines.writeOne(out, sourceAddress) != 1) {
                        throw new IllegalStateException("write failed");
                    }
                }
                return perWrite(System.nanoTime() - start, in, sinkAddress);
            };
            Rounds.Variant c = () -> {
                long ns = Baselines.pipeWrite(out, sourceAddress, BATCH);
                NativeNet.check((int) Math.max(Math.min(ns, 0), Integer.MIN_VALUE), "write from C");
                return perWrite(ns, in, sinkAddress);
            };
            Rounds r = new Rounds(3, rounds, new String[] {"writeAddress", "write(ByteBuffer)", "bare JNI", "C"},
                    Rounds.slices(SLICES, address, buffer, bare, c));
            Report.line("pipe 1-byte write: writeAddress %.1f ns, write(ByteBuffer) %.1f ns, bare JNI write %.1f ns, "
                    + "C write(2) %.1f ns", r.median(0), r.median(1), r.median(2), r.median(3));
            Report.atMost(NAME_ADDRESS, COMPARES_ADDRESS,
                    Report.fmt("%.1f ns vs %.1f ns per write", r.median(0), r.median(3)), r.ratio(0, 3), 1.08);
            Report.row(NAME_BUFFER, COMPARES_BUFFER, Report.fmt("%.1f ns vs %.1f ns per write", r.median(1), r.median(3)),
                    Report.fmt("%.3f", r.ratio(1, 3)), "none (reported)", "-");
            Report.row(NAME_ADDRESS + ", bare JNI", "the thinnest JNI native around write(2) vs write(2) from C",
                    Report.fmt("%.1f ns vs %.1f ns per write", r.median(2), r.median(3)),
                    Report.fmt("%.3f", r.ratio(2, 3)), "none (reported)", "-");
            Report.row(NAME_ADDRESS + " vs bare JNI", "`writeAddress` vs the thinnest JNI native around write(2)",
                    Report.fmt("%.1f ns vs %.1f ns per write", r.median(0), r.median(2)),
                    Report.fmt("%.3f", r.ratio(0, 2)), "none (reported)", "-");
        } catch (Throwable t) {
            Report.skipped(NAME_ADDRESS, COMPARES_ADDRESS, t);
        } finally {
            if (readFd >= 0) {
                FileDescriptor.close(readFd);
                FileDescriptor.close(writeFd);
            }
        }
    }

    /** Empties the pipe (untimed) and returns the batch's nanoseconds per write. */
    private static double perWrite(long elapsed, int fd, long address) {
        empty(fd, address, BATCH);
        return (double) elapsed / BATCH;
    }

    private static void empty(int fd, long address, int expected) {
        int total = 0;
        while (total < expected) {
            int n = FileDescriptor.readAddress(fd, address, 0, 64 * 1024);
            if (n <= 0) {
                throw new IllegalStateException("pipe read returned " + n);
            }
            total += n;
        }
    }
}
