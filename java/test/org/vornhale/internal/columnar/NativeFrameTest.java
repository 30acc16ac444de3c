package org.vornhale.internal.columnar;

import org.junit.jupiter.api.Test;

class NativeFrameTest extends NativeTest {
    @Test
    void nullArgumentsAndZeroHandlesFailInsteadOfCrashing() {
        // Releasing a zero handle does nothing.
        NativeInterface.releaseStorage(0);
        NativeInterface.releaseCursor(0);
        NativeInterface.releaseTablePartition(0);
        assertFails("Null root directory argument", () -> NativeInterface.createStorage(null));
        assertFails("Null storage handle", () -> NativeInterface.getTablePartition(0, 1, 2));
        assertFails("Null storage handle", () -> NativeInterface.dropTablePartition(0, 1, 2));
        assertFails("Null storage handle",
                () -> NativeInterface.getTableSchema(0, 1, 2, 0, 8));
        assertFails("Null partition handle",
                () -> NativeInterface.upsert(0, 1, 2, 3, 0, 0));
        try (NativeMemory batch = new BatchBuilder().toNative()) {
            assertFails("Null partition handle",
                    () -> NativeInterface.processBatch(0, 1, batch.address()));
        }
        assertFails("Null partition handle", () -> NativeInterface.readRow(0, 1, 0, 0, 0, 0));
        assertFails("Null cursor handle", () -> NativeInterface.cursorHasNextPage(0));
        assertFails("Null cursor handle", () -> NativeInterface.cursorGatherTuples(0));
        assertFails("Null table handle", () -> NativeInterface.createCursor(0, 1, null));
        assertFails("Null parameter name argument", () -> NativeInterface.setParameter(null, "1"));
        assertFails("Null parameter value argument",
                () -> NativeInterface.setParameter("MERGE_TREE_FANOUT", null));
        assertFails("Null level name argument",
                () -> NativeInterface.setLogger(new RecordingLogger(), null));
    }

    @Test
    void hostMemoryWithBadLengthIsRefused() {
        try (NativeMemory row = new NativeMemory(16)) {
            // A non-zero handle is never dereferenced before its arguments are checked.
            assertFails("Negative row length -1",
                    () -> NativeInterface.upsert(1, 1, 2, 3, row.address(), -1));
            assertFails("Null key address", () -> NativeInterface.remove(1, 1, 2, 3, 0, 4));
        }
        assertFails("Null batch address", () -> NativeInterface.processBatch(1, 1, 0));
    }

    @Test
    void aggregateCallWithUnknownFunctionFailsBeforeAnyCursorIsMade() {
        // function code in bits 1-3: 6 and 7 are unknown, 0 to 5 are valid.
        long[] calls = {(3L << 32) | (6 << 1)};
        assertFails("Unsupported aggregate function",
                () -> NativeInterface.createAggregateCursor(1, 1, new long[] {5}, calls));
        long[] seven = {(7 << 1) | 1};
        assertFails("Unsupported aggregate function",
                () -> NativeInterface.createAggregateCursor(1, 1, null, seven));
    }
}
