package org.vornhale.internal.columnar;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNull;

import org.junit.jupiter.api.Test;

/** addColumn, dropColumn and modifyColumnType on a partition with rows on disk and in memory. */
class ColumnChangeTest extends StorageFixture {
    private static byte[][] row(long partition, long timestamp, long id, int columns) {
        byte[] row = Table.read(partition, timestamp, id);
        return row == null ? null : BinaryTuple.elements(row, columns);
    }

    @Test
    void columnChangesReshapeOldAndNewRowsAndSurviveARestart() {
        long p = Table.create(storage, "t", 1, 1);
        assertNotEquals(0, p);
        Table.upsert(p, 1, 1, "one", 1.5);
        Table.upsert(p, 2, 2, "two", 2.5);
        NativeInterface.doFullCompaction(p);
        Table.upsert(p, 3, 1, "uno", -1.25);

        NativeInterface.addColumn(p, ColumnType.INT32, "qty", false);
        byte[][] first = row(p, Long.MAX_VALUE, 1, 4);
        assertEquals("uno", BinaryTuple.string(first[1]));
        assertEquals(0, BinaryTuple.int64(first[3]));
        assertEquals("one", BinaryTuple.string(row(p, 2, 1, 4)[1]), "the older version");

        NativeInterface.modifyColumnType(p, ColumnType.FLOAT, "score", true);
        assertEquals(2.5, BinaryTuple.float64(row(p, Long.MAX_VALUE, 2, 4)[2]));
        assertEquals(1.5, BinaryTuple.float64(row(p, 2, 1, 4)[2]));

        assertFails("Unimplemented type conversion",
                () -> NativeInterface.modifyColumnType(p, ColumnType.INT32, "name", true));
        NativeInterface.dropColumn(p, "name");
        byte[][] dropped = row(p, Long.MAX_VALUE, 1, 3);
        assertEquals(1, BinaryTuple.int64(dropped[0]));
        assertEquals(-1.25, BinaryTuple.float64(dropped[1]));
        assertEquals(0, BinaryTuple.int64(dropped[2]));

        // One refusal per method; the others are pinned by the merge-tree schema tests.
        assertFails("Column name not found", () -> NativeInterface.dropColumn(p, "name"));
        assertFails("Column qty already exists",
                () -> NativeInterface.addColumn(p, ColumnType.STRING, "qty", true));

        // Re-adding a dropped name gives a fresh column, not the old values.
        NativeInterface.addColumn(p, ColumnType.STRING, "name", true);
        assertNull(row(p, Long.MAX_VALUE, 2, 4)[3]);
        NativeInterface.releaseTablePartition(p);
        NativeInterface.releaseStorage(storage);

        storage = NativeInterface.createStorage(root.toString());
        long again = NativeInterface.getTablePartition(storage, 1, 1);
        assertNotEquals(0, again);
        byte[][] after = row(again, Long.MAX_VALUE, 2, 4);
        assertEquals(2, BinaryTuple.int64(after[0]));
        assertEquals(2.5, BinaryTuple.float64(after[1]));
        assertNull(after[3]);
        assertNull(row(again, 0, 2, 4));
        NativeInterface.releaseTablePartition(again);
    }
}
