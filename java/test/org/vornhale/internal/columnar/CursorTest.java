package org.vornhale.internal.columnar;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.util.List;
import org.junit.jupiter.api.Test;

/** The cursor methods: pages of length-prefixed tuples, output schemas, projections. */
class CursorTest extends StorageFixture {
    @Test
    void fullAndProjectedScansSeeTheVersionsOfTheirTimestamp() {
        long p = Table.create(storage, "t", 1, 1);
        Table.upsert(p, 10, 3, "three", 3.0);
        Table.upsert(p, 10, 1, "one", 1.0);
        Table.upsert(p, 20, 1, "uno", 1.5);
        Table.upsert(p, 10, 2, "two", 2.0);
        Table.remove(p, 30, 2);

        long all = NativeInterface.createCursor(p, 25, null);
        assertArrayEquals(Table.SCHEMA, outputSchema(all));
        List<byte[]> rows = drain(all);
        assertEquals(3, rows.size());
        assertArrayEquals(Table.row(1, "uno", 1.5), rows.get(0));
        assertArrayEquals(Table.row(2, "two", 2.0), rows.get(1));
        assertArrayEquals(Table.row(3, "three", 3.0), rows.get(2));
        assertFalse(NativeInterface.cursorHasNextPage(all));
        assertEquals(0, NativeInterface.cursorGatherTuples(all));
        NativeInterface.releaseCursor(all);

        // Bits {2, 0}: columns (id, score); the partition handle may go before the cursor.
        long projected = NativeInterface.createCursor(p, Long.MAX_VALUE, new long[] {0b101});
        NativeInterface.releaseTablePartition(p);
        byte[] schema = new SchemaBuilder(0)
                .column("id", ColumnType.INT64, false)
                .column("score", ColumnType.DOUBLE, true)
                .build();
        assertArrayEquals(schema, outputSchema(projected));
        try (NativeMemory out = new NativeMemory(schema.length)) {
            assertNull(NativeInterface.cursorGetOutputSchema(projected, out.address(), schema.length));
            assertArrayEquals(schema, out.getBytes(0, schema.length));
        }
        rows = drain(projected);
        assertEquals(2, rows.size(), "the removal hides key 2");
        assertArrayEquals(new BinaryTuple.Builder().int64(1).float64(1.5).build(), rows.get(0));
        NativeInterface.releaseCursor(projected);
    }

    @Test
    void rowsLargerThanAPageComeInABufferOfTheirOwn() {
        long p = Table.create(storage, "t", 1, 1);
        String big = "b".repeat(600_000);
        Table.upsert(p, 1, 1, "small", 1);
        Table.upsert(p, 1, 2, big, 2);
        Table.upsert(p, 1, 3, "after", 3);
        long cursor = NativeInterface.createCursor(p, 5, null);
        ByteBuffer first = NativeInterface.cursorGetBuffer(cursor);
        assertEquals(524288, first.capacity());
        assertEquals(1, NativeInterface.cursorGatherTuples(cursor));
        assertEquals(0, NativeInterface.cursorGatherTuples(cursor));
        ByteBuffer second = NativeInterface.cursorGetBuffer(cursor).order(ByteOrder.nativeOrder());
        byte[] row = Table.row(2, big, 2);
        assertEquals(row.length + 4, second.capacity());
        assertEquals(1, NativeInterface.cursorGatherTuples(cursor));
        assertEquals(row.length, second.getInt(0));
        assertEquals(1, NativeInterface.cursorGatherTuples(cursor));
        assertTrue(first.get(0) != 0, "the first page stays readable until the cursor goes");
        NativeInterface.releaseCursor(cursor);
        NativeInterface.releaseTablePartition(p);
    }

    @Test
    void catalogScansHonourTheirProjectionAndDropsWaitForOpenCursors() throws Exception {
        long p = Table.create(storage, "orders", 7, 2);
        Table.upsert(p, 1, 1, "one", 1);
        long catalog = NativeInterface.getAllTablePartitions(storage);
        long names = NativeInterface.createCursor(catalog, 0, new long[] {0b100});
        List<byte[]> rows = drain(names);
        assertEquals(1, rows.size());
        assertEquals("orders", BinaryTuple.string(BinaryTuple.elements(rows.get(0), 1)[0]));
        NativeInterface.releaseCursor(names);

        long scan = NativeInterface.createCursor(p, 5, null);
        NativeInterface.releaseTablePartition(p);
        NativeInterface.dropTablePartition(storage, 7, 2);
        assertTrue(Files.exists(root.resolve("7/2")), "the open cursor keeps the files");
        assertEquals(1, drain(scan).size());
        NativeInterface.releaseCursor(scan);
        assertFalse(Files.exists(root.resolve("7/2")));
        assertEquals(0, drain(NativeInterface.createCursor(catalog, 0, null)).size());
        NativeInterface.releaseTablePartition(catalog);
    }
}
