package org.vornhale.internal.columnar;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;

/** A test table (id INT64 key, name STRING nullable, score DOUBLE nullable) and its calls. */
final class Table {
    static final byte[] SCHEMA = new SchemaBuilder(1)
            .key("id", ColumnType.INT64, 0)
            .column("name", ColumnType.STRING, true)
            .column("score", ColumnType.DOUBLE, true)
            .build();

    private Table() {}

    static long create(long storage, String name, int tableId, int partitionId) {
        try (NativeMemory schema = NativeMemory.of(SCHEMA)) {
            return NativeInterface.createTablePartition(name, storage, tableId, partitionId,
                    schema.address(), SCHEMA.length);
        }
    }

    static byte[] row(long id, String name, double score) {
        return new BinaryTuple.Builder().int64(id).string(name).float64(score).build();
    }

    static byte[] key(long id) {
        return new BinaryTuple.Builder().int64(id).build();
    }

    static void upsert(long partition, long timestamp, long id, String name, double score) {
        byte[] row = row(id, name, score);
        try (NativeMemory memory = NativeMemory.of(row)) {
            NativeInterface.upsert(partition, timestamp, 1, 2, memory.address(), row.length);
        }
    }

    static void remove(long partition, long timestamp, long id) {
        byte[] key = key(id);
        try (NativeMemory memory = NativeMemory.of(key)) {
            NativeInterface.remove(partition, timestamp, 1, 2, memory.address(), key.length);
        }
    }

    /** The row visible at the timestamp, or null. */
    static byte[] read(long partition, long timestamp, long id) {
        byte[] key = key(id);
        try (NativeMemory memory = NativeMemory.of(key)) {
            ByteBuffer result = NativeInterface.readRow(partition, timestamp, memory.address(),
                    key.length, 0, 0);
            result.order(ByteOrder.nativeOrder());
            int length = result.getInt(0);
            if (length == 0) {
                return null;
            }
            byte[] row = new byte[length];
            result.get(4, row);
            return row;
        }
    }

    /** The name column of the visible row, or null when there is no row. */
    static String readName(long partition, long timestamp, long id) {
        byte[] row = read(partition, timestamp, id);
        return row == null ? null : BinaryTuple.string(BinaryTuple.elements(row, 3)[1]);
    }
}
