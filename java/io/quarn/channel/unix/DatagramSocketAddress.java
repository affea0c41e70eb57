package io.quarn.channel.unix;

/** A datagram's peer (or destination) address together with the number of bytes received. */
public final class DatagramSocketAddress {
    private final byte[] address;
    private final int scopeId;
    private final int port;
    private final int receivedAmount;
    private final DatagramSocketAddress localAddress;

    public DatagramSocketAddress(byte[] address, int scopeId, int port, int receivedAmount,
            DatagramSocketAddress localAddress) {
        this.address = address;
        this.scopeId = scopeId;
        this.port = port;
        this.receivedAmount = receivedAmount;
        this.localAddress = localAddress;
    }

    public byte[] address() {
        return address;
    }

    public int scopeId() {
        return scopeId;
    }

    public int port() {
        return port;
    }

    public int receivedAmount() {
        return receivedAmount;
    }

    public DatagramSocketAddress localAddress() {
        return localAddress;
    }
}
