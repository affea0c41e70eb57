package io.quarn.faults;

import io.quarn.test.NativeLibrary;
import java.lang.reflect.InvocationTargetException;

/**
 * The library's unload and load entry points called directly in a loaded JVM, under its own
 * name or under a shaded prefix, and a few natives of different modules called after the load.
 */
final class LoadScenario implements Scenario {
    private final boolean shaded;
    private final String prefix;
    private String path;

    LoadScenario(boolean shaded) {
        this.shaded = shaded;
        this.prefix = shaded ? "shaded.prefix." : "";
    }

    @Override
    public void setUp() {
        // The sweep's own checks use the plain classes, so the plain library is there in both cases.
        NativeLibrary.load();
        if (shaded) {
            NativeLibrary.loadShaded();
        }
        path = NativeLibrary.property(shaded ? "quarn.library.shaded" : "quarn.library");
    }

    @Override
    public void body(Run run) throws Exception {
        Run.expect(FaultControl.callOnUnload(path), "no JNI_OnUnload");
        int version = FaultControl.callOnLoad(path);
        if (version == -1) {
            throw new Run.Failure("JNI_OnLoad", Run.FAILED_LOAD, null);
        }
        Run.expect(version == 0x10006, "JNI_OnLoad returned " + version);
        Run.expect((int) call("io.quarn.channel.kqueue.Native", "sizeofKEvent") == 64, "sizeofKEvent is not 64");
        // Descriptors go back through the same copy of the library that made them: a kqueue's
        // private state belongs to the layer of that copy.
        int kqueue = Run.ok((int) call("io.quarn.channel.kqueue.Native", "kqueueCreate"), "kqueueCreate");
        int socket = -1;
        try {
            Run.expect(((String) call("io.quarn.channel.unix.ErrorsStaticallyReferencedJniMethods", "strError", 2))
                    .length() > 0, "no error text");
            Run.expect((int) call("io.quarn.channel.unix.LimitsStaticallyReferencedJniMethods", "iovMax") > 0,
                    "no iovMax");
            socket = Run.ok((int) call("io.quarn.channel.unix.Socket", "newSocketStreamFd", false), "newSocketStreamFd");
        } finally {
            int closedSocket = socket < 0 ? 0 : (int) call("io.quarn.channel.unix.FileDescriptor", "close", socket);
            Run.ok((int) call("io.quarn.channel.unix.FileDescriptor", "close", kqueue), "close");
            Run.ok(closedSocket, "close");
        }
    }

    /** A static native of one of the library's classes, by name, under the prefix. */
    private Object call(String className, String method, Object... args) throws Exception {
        Class<?> type = Class.forName(prefix + className);
        for (var candidate : type.getMethods()) {
            if (candidate.getName().equals(method) && candidate.getParameterCount() == args.length) {
                try {
                    return candidate.invoke(null, args);
                } catch (InvocationTargetException e) {
                    throw new Run.Failure(method, 0, e.getCause());
                }
            }
        }
        throw new NoSuchMethodException(className + "." + method);
    }
}
