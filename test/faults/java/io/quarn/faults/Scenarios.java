package io.quarn.faults;

import java.util.List;

/** The scenarios of the fault sweep, by name. */
final class Scenarios {
    static final List<String> NAMES = List.of("load", "load-shaded", "kqueue", "echo", "tcp", "udp", "local",
            "sendfile", "pipes");

    private Scenarios() {
    }

    static Scenario named(String name) {
        return switch (name) {
            case "load" -> new LoadScenario(false);
            case "load-shaded" -> new LoadScenario(true);
            case "kqueue" -> new KqueueScenario();
            case "echo" -> new EchoScenario();
            case "tcp" -> new TcpScenario();
            case "udp" -> new DatagramScenario();
            case "local" -> new LocalScenario();
            case "sendfile" -> new SendFileScenario();
            case "pipes" -> new PipeScenario();
            default -> throw new IllegalArgumentException("no scenario " + name + "; there are " + NAMES);
        };
    }
}
