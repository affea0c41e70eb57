package io.quarn.bench;

import java.io.File;
import java.io.IOException;
import java.lang.invoke.MethodHandles;
import java.lang.invoke.VarHandle;
import java.nio.ByteOrder;
import java.nio.MappedByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.locks.LockSupport;

/**
 * The many-connection echo's client driver ({@code bench/echo_client.cpp}), a process of its own
 * pinned to one core. It and this harness share a small mapped control file: the client publishes
 * its state and its count of round trips there, the harness its commands, so that reading the count
 * costs neither side a system call.
 */
final class EchoClientProcess implements AutoCloseable {
    private static final VarHandle SLOTS = MethodHandles.byteBufferViewVarHandle(long[].class, ByteOrder.nativeOrder());
    private static final int STATUS = 0;
    private static final int COMMAND = 8;
    private static final int ROUND_TRIPS = 64;
    private static final long CONNECTED = 1;
    private static final long RUNNING = 2;

    private final Path controlFile;
    private final MappedByteBuffer control;
    private final Process process;

    private EchoClientProcess(Path controlFile, MappedByteBuffer control, Process process) {
        this.controlFile = controlFile;
        this.control = control;
        this.process = process;
    }

    /** Starts a client that opens {@code connections} to 127.0.0.1:{@code port}; it exits after {@code maxSeconds}. */
    static EchoClientProcess start(String executable, int port, int connections, int size, int core, int maxSeconds)
            throws IOException {
        Path file = Files.createTempFile("quarn-echo-client", ".control");
        try {
            MappedByteBuffer control;
            try (FileChannel channel = FileChannel.open(file, StandardOpenOption.READ, StandardOpenOption.WRITE)) {
                control = channel.map(FileChannel.MapMode.READ_WRITE, 0, 128);
            }
            Process process = new ProcessBuilder(executable, Integer.toString(port), Integer.toString(connections),
                    Integer.toString(size), Integer.toString(core), file.toString(), Integer.toString(maxSeconds))
                    .redirectOutput(ProcessBuilder.Redirect.DISCARD)
                    .redirectError(ProcessBuilder.Redirect.INHERIT)
                    .redirectInput(new File("/dev/null"))
                    .start();
            return new EchoClientProcess(file, control, process);
        } catch (IOException | RuntimeException e) {
            Files.deleteIfExists(file);
            throw e;
        }
    }

    /** True once every connection is open; throws when the client failed or exited. */
    boolean connected() {
        return status() >= CONNECTED;
    }

    /** Waits until the client has sent the first request on every connection. */
    void go(long deadlineNanos) {
        SLOTS.setRelease(control, COMMAND, 1L);
        while (status() < RUNNING) {
            if (System.nanoTime() > deadlineNanos) {
                throw new IllegalStateException("the echo client did not start sending");
            }
            LockSupport.parkNanos(100_000);
        }
    }

    long roundTrips() {
        return (long) SLOTS.getAcquire(control, ROUND_TRIPS);
    }

    private long status() {
        long status = (long) SLOTS.getAcquire(control, STATUS);
        if (status < 0) {
            throw new IllegalStateException("the echo client failed: " + NativeNet.strError((int) -status));
        }
        if (status < RUNNING + 1 && !process.isAlive()) {
            throw new IllegalStateException("the echo client exited with " + process.exitValue());
        }
        return status;
    }

    /** Tells the client to stop and waits for it (a few seconds at most), then removes the control file. */
    @Override
    public void close() throws IOException {
        SLOTS.setRelease(control, COMMAND, 2L);
        try {
            if (!process.waitFor(5, TimeUnit.SECONDS)) {
                process.destroyForcibly();
                process.waitFor(5, TimeUnit.SECONDS);
            }
        } catch (InterruptedException e) {
            process.destroyForcibly();
            Thread.currentThread().interrupt();
        } finally {
            Files.deleteIfExists(controlFile);
        }
    }
}
