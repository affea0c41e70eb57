package io.quarn.test;

import io.quarn.channel.kqueue.BsdSocket;
import io.quarn.channel.kqueue.Native;
import io.quarn.channel.unix.LimitsStaticallyReferencedJniMethods;
import io.quarn.channel.unix.Socket;
import java.util.Map;
import java.util.concurrent.Callable;

/**
 * Child-JVM entry: loads the library named by the first argument and reports the outcome. With
 * "iovMax" it then calls one native; with "callAfterFailure" it calls natives of classes a
 * failed load had registered, each of which must raise rather than crash the JVM.
 */
public final class LoadProbe {
    private LoadProbe() {
    }

    public static void main(String[] args) {
        try {
            System.load(args[0]);
            System.out.println("LOADED");
            if (args.length > 1 && args[1].equals("iovMax")) {
                System.out.println("iovMax=" + LimitsStaticallyReferencedJniMethods.iovMax());
            }
        } catch (UnsatisfiedLinkError | NoSuchMethodError e) {
            System.out.println(e.getClass().getSimpleName() + ": " + e.getMessage());
            if (args.length > 1 && args[1].equals("callAfterFailure")) {
                Map<String, Callable<Object>> calls = new java.util.LinkedHashMap<>();
                calls.put("Native.sizeofKEvent", Native::sizeofKEvent);
                calls.put("Socket.isIPv6Preferred", Socket::isIPv6Preferred);
                calls.put("BsdSocket.getTcpNoPush", () -> BsdSocket.getTcpNoPush(0));
                calls.forEach((name, call) -> {
                    try {
                        System.out.println(name + " returned " + call.call());
                    } catch (Throwable t) {
                        System.out.println(name + " raised " + t.getClass().getSimpleName());
                    }
                });
            }
        }
    }
}
