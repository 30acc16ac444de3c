package org.vornhale.internal.columnar;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

class LoggerTest {
    @BeforeAll
    static void load() {
        NativeLibrary.load();
    }

    @AfterEach
    void stopLogger() {
        NativeInterface.resetLogger();
    }

    /** setParameter logs one debug record "Set parameter KEY to VALUE". */
    private static void logDebugRecord(String value) {
        NativeInterface.setParameter("MERGE_TREE_COLUMN_BLOCK_SIZE_HINT", value);
    }

    /** A failing call logs "Caught exception: ..." and "ThrowNew result: 0" at error level. */
    private static void logErrorRecords() {
        assertThrows(ColumnarStorageException.class,
                () -> NativeInterface.getTablePartition(0, 1, 1));
    }

    @Test
    void recordsBelowTheLevelAreDroppedAndErrorsArriveThroughError() {
        RecordingLogger logger = new RecordingLogger();
        NativeInterface.setLogger(logger, "WARN");
        logDebugRecord("8192");
        logErrorRecords();
        NativeInterface.resetLogger();
        List<RecordingLogger.Entry> entries = logger.entries();
        assertEquals(2, entries.size(), entries.toString());
        assertEquals("error", entries.get(0).method());
        assertTrue(entries.get(0).message().startsWith("Caught exception: Null storage handle\nTrace: ["),
                entries.get(0).message());
        assertEquals(new RecordingLogger.Entry("error", "ThrowNew result: 0"), entries.get(1));
    }

    @Test
    void debugLevelDeliversParameterChanges() {
        RecordingLogger logger = new RecordingLogger();
        NativeInterface.setLogger(logger, "DEBUG");
        logDebugRecord("4096");
        NativeInterface.setParameter("ENABLE_LZ4_COMPRESSION", "TRUE");
        NativeInterface.resetLogger();
        assertEquals(List.of(
                new RecordingLogger.Entry("debug", "Set parameter MERGE_TREE_COLUMN_BLOCK_SIZE_HINT to 4096"),
                new RecordingLogger.Entry("debug", "Set parameter ENABLE_LZ4_COMPRESSION to true")),
                logger.entries());
        logDebugRecord("8192");
    }

    @Test
    void levelNamesAreMatchedExactly() {
        // Only the exact upper-case names select their level; anything else means error.
        for (String name : new String[] {"warn", "ERROR", "", "Debug"}) {
            RecordingLogger logger = new RecordingLogger();
            NativeInterface.setLogger(logger, name);
            logDebugRecord("8192");
            logErrorRecords();
            NativeInterface.resetLogger();
            assertEquals(0, logger.count("debug", ""), name);
            assertEquals(1, logger.count("error", "ThrowNew result: 0"), name);
        }
        RecordingLogger tracing = new RecordingLogger();
        NativeInterface.setLogger(tracing, "TRACE");
        logDebugRecord("8192");
        NativeInterface.resetLogger();
        assertEquals(1, tracing.count("debug", "Set parameter"));
    }

    @Test
    void resetWaitsForEveryQueuedRecordAndLaterRecordsAreDropped() {
        RecordingLogger logger = new RecordingLogger();
        NativeInterface.setLogger(logger, "DEBUG");
        for (int i = 0; i < 2000; i++) {
            logDebugRecord(Integer.toString(1000 + i));
        }
        NativeInterface.resetLogger();
        assertEquals(2000, logger.entries().size());
        assertEquals("Set parameter MERGE_TREE_COLUMN_BLOCK_SIZE_HINT to 2999",
                logger.entries().get(1999).message());
        logDebugRecord("8192");
        assertEquals(2000, logger.entries().size());
        NativeInterface.resetLogger();  // no logger running: returns at once
    }

    @Test
    void secondSetLoggerKeepsTheFirstLoggerAndLevel() {
        RecordingLogger first = new RecordingLogger();
        RecordingLogger second = new RecordingLogger();
        NativeInterface.setLogger(first, "ERROR");
        NativeInterface.setLogger(second, "DEBUG");
        logDebugRecord("8192");
        logErrorRecords();
        NativeInterface.resetLogger();
        assertEquals(0, first.count("debug", ""));
        assertEquals(1, first.count("error", "ThrowNew result: 0"));
        assertEquals(0, second.entries().size());
    }

    @Test
    void loggerWithoutWarnMethodIsRefusedAndLoggingStaysOff() {
        ColumnarStorageException e = assertThrows(ColumnarStorageException.class,
                () -> NativeInterface.setLogger(new RecordingLogger.WithoutWarn(), "DEBUG"));
        assertEquals("Failed to set up a logger thread", e.getMessage());
        RecordingLogger logger = new RecordingLogger();
        NativeInterface.setLogger(logger, "DEBUG");
        logDebugRecord("8192");
        NativeInterface.resetLogger();
        assertEquals(1, logger.entries().size());
    }

    @Test
    void manyThreadsLoggingAtOnceLoseNoRecord() throws Exception {
        RecordingLogger logger = new RecordingLogger();
        NativeInterface.setLogger(logger, "DEBUG");
        int threads = 8;
        int perThread = 500;
        List<Thread> workers = new ArrayList<>();
        for (int t = 0; t < threads; t++) {
            Thread worker = new Thread(() -> {
                for (int i = 0; i < perThread; i++) {
                    logDebugRecord("8192");
                }
            });
            workers.add(worker);
            worker.start();
        }
        for (Thread worker : workers) {
            worker.join();
        }
        NativeInterface.resetLogger();
        assertEquals(threads * perThread, logger.count("debug", "Set parameter"));
    }
}
