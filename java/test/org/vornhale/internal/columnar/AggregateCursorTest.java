package org.vornhale.internal.columnar;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;

import java.nio.file.Files;
import java.util.List;
import org.junit.jupiter.api.Test;

/** createAggregateCursor: call words, grouped results page by page, refusals. */
class AggregateCursorTest extends StorageFixture {
    private static final int COUNT = 0;
    private static final int SUM = 1;
    private static final int AVG = 2;
    private static final int ANY = 5;

    /** Bit 0 the flag, bits 1-3 the function, bits 32-63 the column. */
    private static long call(int function, int column) {
        return ((long) column << 32) | (function << 1);
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
        assertArrayEquals(new SchemaBuilder(0)
                .column("name", ColumnType.STRING, true)
                .column("count(*)", ColumnType.INT64, true)
                .column("sum(id)", ColumnType.INT64, true)
                .column("avg(score)", ColumnType.DOUBLE, true)
                .build(), outputSchema(cursor));
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
}
