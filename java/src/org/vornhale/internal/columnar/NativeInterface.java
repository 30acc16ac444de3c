package org.vornhale.internal.columnar;

import java.nio.ByteBuffer;

/**
 * The entry points of the native columnar storage engine (libombrel.so). Handles are native
 * pointers owned by the caller until released; rows, keys, schemas and batches are passed as
 * native addresses that the engine reads only during the call. Every failure surfaces as a
 * {@link ColumnarStorageException}.
 */
public final class NativeInterface {
    private NativeInterface() {}

    /** Loads the library from an absolute path. */
    public static void load(String libraryPath) {
        System.load(libraryPath);
    }

    public static native long createStorage(String rootDirectory);

    public static native void releaseStorage(long storage);

    public static native void setLowWatermark(long storage, long timestamp);

    public static native long createTablePartition(String tableName, long storage, int tableId,
            int partitionId, long schemaAddress, int schemaLength);

    public static native long getTablePartition(long storage, int tableId, int partitionId);

    public static native void releaseTablePartition(long table);

    public static native void dropTablePartition(long storage, int tableId, int partitionId);

    public static native long getAllTablePartitions(long storage);

    public static native ByteBuffer getTableSchema(long storage, int tableId, int partitionId,
            long outAddress, int outSize);

    public static native void upsert(long partition, long timestamp, long txIdA, long txIdB,
            long rowAddress, int rowLength);

    public static native void remove(long partition, long timestamp, long txIdA, long txIdB,
            long keyAddress, int keyLength);

    public static native void processBatch(long partition, long timestamp, long batchAddress);

    public static native ByteBuffer readRow(long partition, long timestamp, long keyAddress,
            int keyLength, long outAddress, int outSize);

    public static native ByteBuffer getLastPersistedRow(long partition, long outAddress, int outSize);

    public static native void doFullCompaction(long partition);

    public static native void addColumn(long partition, int columnType, String columnName,
            boolean nullable);

    public static native void dropColumn(long partition, String columnName);

    public static native void modifyColumnType(long partition, int columnType, String columnName,
            boolean nullable);

    public static native long createCursor(long table, long timestamp, long[] projection);

    public static native long createAggregateCursor(long table, long timestamp, long[] groupSet,
            long[] aggregateCalls);

    public static native boolean cursorHasNextPage(long cursor);

    public static native int cursorGatherTuples(long cursor);

    public static native ByteBuffer cursorGetBuffer(long cursor);

    public static native ByteBuffer cursorGetOutputSchema(long cursor, long outAddress, int outSize);

    public static native void releaseCursor(long cursor);

    public static native void setLogger(Object logger, String level);

    public static native void resetLogger();

    public static native void setParameter(String name, String value);
}
