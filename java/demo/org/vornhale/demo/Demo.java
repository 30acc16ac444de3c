package org.vornhale.demo;

import java.nio.file.Path;
import org.vornhale.internal.columnar.ColumnarStorageException;
import org.vornhale.internal.columnar.NativeInterface;

/** Drives the engine through its native methods the way a database node does. */
public final class Demo {
    private Demo() {}

    /** Prints every engine log record on standard output. */
    public static final class ConsoleLogger {
        private void print(String level, String message) {
            System.out.println("  [engine " + level + "] " + message.replace("\n", "\n    "));
        }

        public void trace(String message, Object[] args) {
            print("TRACE", message);
        }

        public void debug(String message, Object[] args) {
            print("DEBUG", message);
        }

        public void info(String message, Object[] args) {
            print("INFO", message);
        }

        public void warn(String message, Object[] args) {
            print("WARN", message);
        }

        public void error(String message, Object[] args) {
            print("ERROR", message.lines().findFirst().orElse(""));
        }
    }

    public static void main(String[] args) {
        String library = System.getProperty("ombrel.library");
        Path root = Path.of(args.length > 0 ? args[0] : "ombrel-data").toAbsolutePath();
        NativeInterface.load(library);
        System.out.println("Loaded " + library);

        NativeInterface.setLogger(new ConsoleLogger(), "DEBUG");
        NativeInterface.setParameter("MERGE_TREE_FANOUT", "4");
        NativeInterface.setParameter("MEMTABLE_MAX_ENTRIES", "262144");
        try {
            NativeInterface.setParameter("MERGE_TREE_FANOUT", "1");
        } catch (ColumnarStorageException e) {
            System.out.println("Refused a fanout of 1: " + e.getMessage());
        }

        try {
            long storage = NativeInterface.createStorage(root.toString());
            System.out.println("Opened storage at " + root + " (handle " + storage + ")");
            NativeInterface.releaseStorage(storage);
        } catch (ColumnarStorageException e) {
            System.out.println("Storage at " + root + ": " + e.getMessage());
        }
        NativeInterface.resetLogger();
        System.out.println("Done.");
    }
}
