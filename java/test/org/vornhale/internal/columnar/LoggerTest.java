package org.vornhale.internal.columnar;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/**
 * setLogger and resetLogger with a host logger object. The queue behind them (order, no record
 * lost across threads, a second setup ignored, shutdown draining) is pinned natively by the log
 * tests.
 */
class LoggerTest extends NativeTest {
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
    void recordsArriveThroughTheMethodOfTheirLevelAndBelowTheLevelAreDropped() {
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

        RecordingLogger debug = new RecordingLogger();
        NativeInterface.setLogger(debug, "DEBUG");
        logDebugRecord("4096");
        NativeInterface.setParameter("ENABLE_LZ4_COMPRESSION", "TRUE");
        NativeInterface.resetLogger();
        assertEquals(List.of(
                new RecordingLogger.Entry("debug", "Set parameter MERGE_TREE_COLUMN_BLOCK_SIZE_HINT to 4096"),
                new RecordingLogger.Entry("debug", "Set parameter ENABLE_LZ4_COMPRESSION to true")),
                debug.entries());
        logDebugRecord("8192");
        assertEquals(2, debug.entries().size(), "no record after the reset");
    }

    @Test
    void levelNamesAreMatchedExactly() {
        // Only the exact upper-case names select their level; anything else means error.
        for (String name : new String[] {"warn", "ERROR", "", "Debug", "TRACE"}) {
            RecordingLogger logger = new RecordingLogger();
            NativeInterface.setLogger(logger, name);
            logDebugRecord("8192");
            logErrorRecords();
            NativeInterface.resetLogger();
            assertEquals(name.equals("TRACE") ? 1 : 0, logger.count("debug", "Set parameter"), name);
            assertEquals(1, logger.count("error", "ThrowNew result: 0"), name);
        }
    }

    @Test
    void loggerWithoutWarnMethodIsRefusedAndLoggingStaysOff() {
        assertFails("Failed to set up a logger thread",
                () -> NativeInterface.setLogger(new RecordingLogger.WithoutWarn(), "DEBUG"));
        RecordingLogger logger = new RecordingLogger();
        NativeInterface.setLogger(logger, "DEBUG");
        logDebugRecord("8192");
        NativeInterface.resetLogger();
        assertEquals(1, logger.entries().size());
    }
}
