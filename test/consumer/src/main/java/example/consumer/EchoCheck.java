package example.consumer;

import io.quarn.channel.kqueue.KQueueEventArray;
import io.quarn.channel.kqueue.KQueueStaticallyReferencedJniMethods;
import io.quarn.channel.kqueue.Native;
import io.quarn.channel.kqueue.NativeLibraryLoader;
import io.quarn.channel.unix.Buffer;
import io.quarn.channel.unix.ErrorsStaticallyReferencedJniMethods;
import io.quarn.channel.unix.FileDescriptor;
import io.quarn.channel.unix.Socket;
import java.net.URL;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.util.Random;

/**
 * A program of a Java build that takes the library by its Maven coordinates: it loads the library
 * through the loader and echoes messages over a TCP connection on 127.0.0.1 on the natives alone
 * (sockets, reads and writes, and a kqueue for readiness), then prints what it checked.
 */
public final class EchoCheck {
    private static final int MESSAGES = 200;
    private static final long DEADLINE_NANOS = 20_000_000_000L;
    private static final byte[] LOOPBACK = {127, 0, 0, 1};

    private static int kqueue;
    private static ByteBuffer records;
    private static long recordsAddress;
    private static int size;
    private static int eagain;

    private EchoCheck() {
    }

    public static void main(String[] args) {
        NativeLibraryLoader.load();
        String resource = "META-INF/native/" + NativeLibraryLoader.classifier() + "/";
        URL library = NativeLibraryLoader.class.getClassLoader().getResource(resource + NativeLibraryLoader
                .libraryFileName());
        if (library == null) {
            library = NativeLibraryLoader.class.getClassLoader().getResource(resource + "libquarn_transport_native_kqueue_"
                    + NativeLibraryLoader.classifier().replaceFirst("^[a-z]+-", "") + ".so");
        }
        System.out.println("loader: " + NativeLibraryLoader.class.getName() + " version " + NativeLibraryLoader.version());
        System.out.println("library: " + NativeLibraryLoader.libraryFileName() + " from " + library);

        eagain = ErrorsStaticallyReferencedJniMethods.errnoEAGAIN();
        size = Native.sizeofKEvent();
        records = ByteBuffer.allocateDirect(2 * size).order(ByteOrder.nativeOrder());
        recordsAddress = Buffer.memoryAddress0(records);
        kqueue = check(Native.kqueueCreate(), "kqueueCreate");
        int server = check(Socket.newSocketStreamFd(false), "socket");
        check(Socket.bind(server, false, LOOPBACK, 0, 0), "bind");
        check(Socket.listen(server, 8), "listen");
        byte[] local = Socket.localAddress(server);
        int port = ((local[local.length - 2] & 0xff) << 8) | (local[local.length - 1] & 0xff);
        int client = check(Socket.newSocketStreamFd(false), "socket");
        int connected = Socket.connect(client, false, LOOPBACK, 0, port);
        if (connected < 0 && connected != -ErrorsStaticallyReferencedJniMethods.errnoEINPROGRESS()) {
            check(connected, "connect");
        }
        await(server, KQueueStaticallyReferencedJniMethods.evfiltRead());
        int accepted = check(Socket.accept(server, new byte[25]), "accept");
        await(client, KQueueStaticallyReferencedJniMethods.evfiltWrite());
        check(Socket.finishConnect(client), "finishConnect");

        ByteBuffer sent = ByteBuffer.allocateDirect(65536);
        ByteBuffer echoed = ByteBuffer.allocateDirect(65536);
        ByteBuffer received = ByteBuffer.allocateDirect(65536);
        Random random = new Random(22);
        long start = System.nanoTime();
        long bytes = 0;
        for (int i = 0; i < MESSAGES; i++) {
            int length = 1 + random.nextInt(i % 10 == 9 ? 65536 : 512);
            for (int j = 0; j < length; j++) {
                sent.put(j, (byte) random.nextInt());
            }
            // The client's writes and the server's echo interleave, so that a large message fits the buffers.
            int written = 0;
            int read = 0;
            int back = 0;
            int returned = 0;
            while (returned < length) {
                if (System.nanoTime() - start > DEADLINE_NANOS) {
                    throw new IllegalStateException("echo: message " + i + " not back in " + DEADLINE_NANOS / 1_000_000_000
                            + " s");
                }
                if (written < length) {
                    written += step(FileDescriptor.write(client, sent, written, length), "write");
                }
                if (read < written) {
                    read += step(FileDescriptor.read(accepted, received, read, written), "read");
                }
                if (back < read) {
                    back += step(FileDescriptor.write(accepted, received, back, read), "write");
                }
                if (returned < back) {
                    returned += step(FileDescriptor.read(client, echoed, returned, back), "read");
                }
                if (returned < length && written == length && read == written && back == read) {
                    await(client, KQueueStaticallyReferencedJniMethods.evfiltRead());
                }
            }
            for (int j = 0; j < length; j++) {
                if (sent.get(j) != echoed.get(j)) {
                    throw new IllegalStateException("echo: message " + i + " differs at byte " + j);
                }
            }
            bytes += length;
        }
        FileDescriptor.close(client);
        FileDescriptor.close(accepted);
        FileDescriptor.close(server);
        FileDescriptor.close(kqueue);
        System.out.println("echo: " + MESSAGES + " messages, " + bytes + " bytes over 127.0.0.1:" + port
                + ", every byte back as sent");
    }

    /** Waits up to five seconds, on the kqueue, until fd is ready for filter. */
    private static void await(int fd, short filter) {
        KQueueEventArray.evSet(recordsAddress, fd, filter, KQueueStaticallyReferencedJniMethods.evAdd(), 0);
        int ready = check(Native.keventWait(kqueue, recordsAddress, 1, recordsAddress + size, 1, 5, 0), "keventWait");
        KQueueEventArray.evSet(recordsAddress, fd, filter, KQueueStaticallyReferencedJniMethods.evDelete(), 0);
        check(Native.keventWait(kqueue, recordsAddress, 1, recordsAddress + size, 1, 0, 0), "keventWait");
        if (ready != 1 || records.getLong(size + Native.offsetofKEventIdent()) != fd) {
            throw new IllegalStateException("descriptor " + fd + " not ready in 5 s");
        }
    }

    /** A read or write result as a byte count: nothing for EAGAIN, a failure otherwise. */
    private static int step(int result, String what) {
        if (result == -eagain) {
            return 0;
        }
        if (result == 0 && what.equals("read")) {
            throw new IllegalStateException("read: end of stream");
        }
        return check(result, what);
    }

    private static int check(int result, String what) {
        if (result < 0) {
            throw new IllegalStateException(what + ": " + ErrorsStaticallyReferencedJniMethods.strError(-result));
        }
        return result;
    }
}
