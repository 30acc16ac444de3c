package org.vornhale.internal.columnar;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** createAggregateCursor: call words, grouped results page by page, refusals. */
class AggregateCursorTest {
    private static final int COUNT = 0;
    private static final int SUM = 1;
    private static final int AVG = 2;
    private static final int ANY = 5;

    @TempDir
    Path root;

    private long storage;

    @BeforeAll
    static void load() {
        NativeLibrary.load();
    }

    @BeforeEach
    void open() {
        storage = NativeInterface.createStorage(root.toString());
        assertNotEquals(0, storage);
    }

    @AfterEach
    void close() {
        NativeInterface.releaseStorage(storage);
    }

    /** Bit 0 the flag, bits 1-3 the function, bits 32-63 the column. */
    private static long call(int function, int column) {
        return ((long) column << 32) | (function << 1);
    }

    private static List<byte[]> drain(long cursor) {
        List<byte[]> rows = new ArrayList<>();
        ByteBuffer page = NativeInterface.cursorGetBuffer(cursor).order(ByteOrder.nativeOrder());
        for (int pages = 0; NativeInterface.cursorHasNextPage(cursor) && pages < 100; pages++) {
            int count = NativeInterface.cursorGatherTuples(cursor);
            int offset = 0;
            for (int i = 0; i < count; i++) {
                byte[] row = new byte[page.getInt(offset)];
                page.get(offset + 4, row);
                rows.add(row);
                offset += 4 + row.length;
            }
        }
        return rows;
    }

    private static void assertFails(String message, Runnable call) {
        ColumnarStorageException e = assertThrows(ColumnarStorageException.class, call::run);
        assertEquals(message, e.getMessage());
    }

    @Test
    void groupsComeInKeyOrderAsOfTheTimestamp() {
        long p = Table.create(storage, "t", 1, 1);
        Table.upsert(p, 10, 1, "b", 1.0);
        Table.upsert(p, 10, 2, "a", 2.0);
        Table.upsert(p, 10, 3, "b", 4.0);
        Table.upsert(p, 10, 4, "c", 8.0);
        Table.upsert(p, 20, 1, "a", 16.0);
        Table.remove(p, 30, 3);
        // The flag and bits 4-31 change nothing; group bits beyond the columns are ignored.
        long[] calls = {call(ANY, 1) | 1, call(COUNT, -1) | 0xABCD0, call(SUM, 0), call(AVG, 2)};
        long[] groups = {0b10 | (1L << 40)};

        long cursor = NativeInterface.createAggregateCursor(p, 25, groups, calls);
        ByteBuffer schema = NativeInterface.cursorGetOutputSchema(cursor, 0, 0);
        byte[] schemaBytes = new byte[schema.capacity()];
        schema.get(0, schemaBytes);
        assertArrayEquals(new SchemaBuilder(0)
                .column("name", ColumnType.STRING, true)
                .column("count(*)", ColumnType.INT64, true)
                .column("sum(id)", ColumnType.INT64, true)
                .column("avg(score)", ColumnType.DOUBLE, true)
                .build(), schemaBytes);
        List<byte[]> rows = drain(cursor);
        NativeInterface.releaseCursor(cursor);
        assertEquals(3, rows.size());
        assertArrayEquals(new BinaryTuple.Builder().string("a").int64(2).int64(3).float64(9.0)
                .build(), rows.get(0));
        assertArrayEquals(new BinaryTuple.Builder().string("b").int64(1).int64(3).float64(4.0)
                .build(), rows.get(1));
        assertArrayEquals(new BinaryTuple.Builder().string("c").int64(1).int64(4).float64(8.0)
                .build(), rows.get(2));

        cursor = NativeInterface.createAggregateCursor(p, Long.MAX_VALUE, null, calls);
        rows = drain(cursor);
        NativeInterface.releaseCursor(cursor);
        assertEquals(1, rows.size(), "no group set: one group of everything left after the removal");
        assertArrayEquals(new BinaryTuple.Builder().string("c").int64(3).int64(7).float64(26.0 / 3)
                .build(), rows.get(0));
        NativeInterface.releaseTablePartition(p);
    }

    @Test
    void refusedCallsCreateNoCursorAndHoldNoPartition() {
        long p = Table.create(storage, "t", 3, 4);
        Table.upsert(p, 1, 1, "one", 1.0);
        assertFails("Invalid aggregate call column index.",
                () -> NativeInterface.createAggregateCursor(p, 5, null, new long[] {call(COUNT, 3)}));
        assertFails("Bad aggregate call",
                () -> NativeInterface.createAggregateCursor(p, 5, null, new long[] {call(SUM, -2)}));
        assertFails("Unsupported aggregate function column type: 15",
                () -> NativeInterface.createAggregateCursor(p, 5, null, new long[] {call(SUM, 1)}));
        assertFails("Unsupported aggregate function",
                () -> NativeInterface.createAggregateCursor(p, 5, null, new long[] {call(7, 0)}));
        NativeInterface.releaseTablePartition(p);
        NativeInterface.dropTablePartition(storage, 3, 4);
        assertFalse(Files.exists(root.resolve("3/4")), "no refused cursor kept a scan open");
    }

    @Test
    void catalogGroupsPartitionsByTable() {
        for (long p : new long[] {Table.create(storage, "orders", 7, 1),
                Table.create(storage, "items", 8, 1), Table.create(storage, "orders", 7, 2)}) {
            NativeInterface.releaseTablePartition(p);
        }
        long catalog = NativeInterface.getAllTablePartitions(storage);
        long cursor = NativeInterface.createAggregateCursor(catalog, 0, new long[] {0b10},
                new long[] {call(ANY, 2), call(COUNT, -1)});
        List<byte[]> rows = drain(cursor);
        NativeInterface.releaseCursor(cursor);
        NativeInterface.releaseTablePartition(catalog);
        assertEquals(2, rows.size());
        assertArrayEquals(new BinaryTuple.Builder().string("orders").int64(2).build(), rows.get(0));
        assertArrayEquals(new BinaryTuple.Builder().string("items").int64(1).build(), rows.get(1));
    }
}
