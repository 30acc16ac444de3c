package org.vornhale.internal.columnar;

import java.util.ArrayList;
import java.util.List;

/** A host logger object that keeps every record it is given, with the method that received it. */
public class RecordingLogger {
    public record Entry(String method, String message) {}

    private final List<Entry> entries = new ArrayList<>();

    public void trace(String message, Object[] args) {
        add("trace", message);
    }

    public void debug(String message, Object[] args) {
        add("debug", message);
    }

    public void info(String message, Object[] args) {
        add("info", message);
    }

    public void warn(String message, Object[] args) {
        add("warn", message);
    }

    public void error(String message, Object[] args) {
        add("error", message);
    }

    public synchronized List<Entry> entries() {
        return new ArrayList<>(entries);
    }

    public synchronized long count(String method, String prefix) {
        return entries.stream()
                .filter(e -> e.method().equals(method) && e.message().startsWith(prefix))
                .count();
    }

    private synchronized void add(String method, String message) {
        entries.add(new Entry(method, message));
    }

    /** A logger that lacks the "warn" method. */
    public static class WithoutWarn {
        public void trace(String message, Object[] args) {}

        public void debug(String message, Object[] args) {}

        public void info(String message, Object[] args) {}

        public void error(String message, Object[] args) {}
    }
}
