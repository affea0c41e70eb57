package io.quarn.test;

import java.io.IOException;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Map;
import java.util.TreeMap;

import org.junit.jupiter.api.extension.AfterAllCallback;
import org.junit.jupiter.api.extension.BeforeAllCallback;
import org.junit.jupiter.api.extension.ExtensionContext;

/**
 * Compares the process's open descriptors before and after every test class: a descriptor
 * that a test opened and left open fails the class. Jar and library files that the JVM maps
 * on demand do not count.
 */
public final class NoDescriptorLeaks implements BeforeAllCallback, AfterAllCallback {
    private static final ExtensionContext.Namespace NAMESPACE = ExtensionContext.Namespace
            .create(NoDescriptorLeaks.class);

    @Override
    public void beforeAll(ExtensionContext context) throws IOException {
        context.getStore(NAMESPACE).put("before", openDescriptors());
    }

    @Override
    @SuppressWarnings("unchecked")
    public void afterAll(ExtensionContext context) throws Exception {
        Map<Integer, String> before = (Map<Integer, String>) context.getStore(NAMESPACE).get("before");
        // Descriptors closed by a finalizer-free JDK path may lag behind by a moment.
        Map<Integer, String> leaked = null;
        for (int attempt = 0; attempt < 20; attempt++) {
            leaked = openDescriptors();
            leaked.keySet().removeAll(before.keySet());
            if (leaked.isEmpty()) {
                return;
            }
            Thread.sleep(50);
        }
        throw new AssertionError(context.getDisplayName() + " left descriptors open: " + leaked);
    }

    public static Map<Integer, String> openDescriptors() throws IOException {
        Map<Integer, String> result = new TreeMap<>();
        try (DirectoryStream<Path> fds = Files.newDirectoryStream(Path.of("/proc/self/fd"))) {
            for (Path fd : fds) {
                String target;
                try {
                    target = Files.readSymbolicLink(fd).toString();
                } catch (IOException e) {
                    continue; // the directory stream's own descriptor, closed meanwhile
                }
                if (target.endsWith(".jar") || target.endsWith(".so") || target.endsWith(".jsa")
                        || target.startsWith("/proc/") || target.equals("/dev/random")
                        || target.equals("/dev/urandom")) {
                    continue;
                }
                result.put(Integer.parseInt(fd.getFileName().toString()), target);
            }
        }
        return result;
    }

    public static int count() throws IOException {
        return openDescriptors().size();
    }
}
