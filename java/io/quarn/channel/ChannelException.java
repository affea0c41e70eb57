package io.quarn.channel;

/** Raised by the native transport when a channel operation fails. */
public class ChannelException extends RuntimeException {
    private static final long serialVersionUID = 1L;

    public ChannelException() {
    }

    public ChannelException(String message) {
        super(message);
    }
}
