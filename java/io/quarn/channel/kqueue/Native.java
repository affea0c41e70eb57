package io.quarn.channel.kqueue;

public final class Native {
    private Native() {
    }

    public static native int kqueueCreate();
    public static native int keventTriggerUserEvent(int kqueueFd, int ident);
    public static native int keventAddUserEvent(int kqueueFd, int ident);
    public static native int keventWait(int kqueueFd, long changeListAddress, int changeListLength,
            long eventListAddress, int eventListLength, int timeoutSec, int timeoutNsec);
    public static native int sizeofKEvent();
    public static native int offsetofKEventIdent();
    public static native int offsetofKEventFlags();
    public static native int offsetofKEventFFlags();
    public static native int offsetofKEventFilter();
    public static native int offsetofKeventData();
}
