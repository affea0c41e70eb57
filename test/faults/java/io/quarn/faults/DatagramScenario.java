package io.quarn.faults;

import io.quarn.channel.unix.Buffer;
import io.quarn.channel.unix.DatagramSocketAddress;
import io.quarn.channel.unix.Socket;
import io.quarn.test.NativeLibrary;
import io.quarn.test.TestNatives;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;

/**
 * UDP over loopback: datagrams sent with the three sends and received with both receives on a
 * socket that asks for the original destination; sizes, sender, destination and bytes checked.
 * Then a connect and disconnect of the sender, and a datagram to a socket that does not ask for
 * the destination.
 */
final class DatagramScenario implements Scenario {
    private static final int COUNT = 12;
    private final ByteBuffer sent = Net.data(4096, 9);
    private final ByteBuffer received = ByteBuffer.allocateDirect(4096);
    private final ByteBuffer vector = ByteBuffer.allocateDirect(32).order(ByteOrder.nativeOrder());

    @Override
    public void setUp() {
        NativeLibrary.load();
        TestNatives.load();
    }

    @Override
    public void body(Run run) {
        int sender = run.fd(Socket.newSocketDgramFd(false), "newSocketDgramFd");
        Run.ok(Socket.bind(sender, false, Net.IPV4, 0, 0), "bind");
        int receiver = run.fd(Socket.newSocketDgramFd(false), "newSocketDgramFd");
        Run.ok(Socket.bind(receiver, false, Net.IPV4, 0, 0), "bind");
        Run.expect(TestNatives.receiveOriginalDestination(receiver, true) == 0, "IP_RECVORIGDSTADDR refused");
        int senderPort = Net.localPort(sender);
        int receiverPort = Net.localPort(receiver);
        long base = Buffer.memoryAddress0(sent);
        for (int i = 0; i < COUNT; i++) {
            int size = 1 + i * 300;
            int result = switch (i % 3) {
                case 0 -> Socket.sendTo(sender, false, sent, i, i + size, Net.IPV4, 0, receiverPort);
                case 1 -> Socket.sendToAddress(sender, false, base, i, i + size, Net.IPV4, 0, receiverPort);
                default -> {
                    vector.putLong(0, base + i).putLong(8, size / 2);
                    vector.putLong(16, base + i + size / 2).putLong(24, size - size / 2);
                    yield Socket.sendToAddresses(sender, false, Buffer.memoryAddress0(vector), 2, Net.IPV4, 0,
                            receiverPort);
                }
            };
            Run.expect(Run.ok(result, "send") == size, "sent " + result + " of " + size);
            DatagramSocketAddress from = Net.untilReceived(i % 2 == 0
                    ? () -> Socket.recvFrom(receiver, received, 0, 4096)
                    : () -> Socket.recvFromAddress(receiver, Buffer.memoryAddress0(received), 0, 4096), "recvFrom");
            Run.expect(from.receivedAmount() == size, "received " + from.receivedAmount() + " of " + size);
            Run.expect(from.port() == senderPort, "the sender's port is " + from.port());
            Run.expect(from.localAddress() != null && from.localAddress().port() == receiverPort,
                    "the original destination is missing or wrong");
            Run.expect(Net.crc(sent, i, i + size) == Net.crc(received, 0, size), "datagram " + i + " corrupted");
        }
        Run.expect(!Run.call(() -> Socket.isIPv6(sender), "isIPv6"), "an IPv4 socket taken for IPv6");
        Run.ok(Socket.connect(sender, false, Net.IPV4, 0, receiverPort), "connect");
        Run.ok(Socket.disconnect(sender, false), "disconnect");
        int plain = run.fd(Socket.newSocketDgramFd(false), "newSocketDgramFd");
        Run.ok(Socket.bind(plain, false, Net.IPV4, 0, 0), "bind");
        int size = Run.ok(Socket.sendTo(sender, false, sent, 0, 700, Net.IPV4, 0, Net.localPort(plain)), "sendTo");
        DatagramSocketAddress from = Net.untilReceived(() -> Socket.recvFrom(plain, received, 0, 4096), "recvFrom");
        Run.expect(size == 700 && from.receivedAmount() == 700 && from.localAddress() == null,
                "a datagram to a socket without the destination option");
        Run.expect(Net.crc(sent, 0, 700) == Net.crc(received, 0, 700), "the last datagram corrupted");
        run.close(plain, "close");
        run.close(sender, "close");
        run.close(receiver, "close");
    }
}
