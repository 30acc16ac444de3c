package org.vornhale.internal.columnar;

import java.io.ByteArrayOutputStream;

/**
 * Writes the batch buffer of processBatch: a record count, then per record the operation
 * (-1 removes), the payload length, the two transaction id words and the payload.
 */
public final class BatchBuilder {
    private final ByteArrayOutputStream records = new ByteArrayOutputStream();
    private int count;

    public BatchBuilder upsert(long txIdA, long txIdB, byte[] row) {
        return record(0, txIdA, txIdB, row);
    }

    public BatchBuilder remove(long txIdA, long txIdB, byte[] key) {
        return record(-1, txIdA, txIdB, key);
    }

    private BatchBuilder record(int marker, long txIdA, long txIdB, byte[] payload) {
        records.writeBytes(BinaryTuple.le(marker, 4));
        records.writeBytes(BinaryTuple.le(payload.length, 4));
        records.writeBytes(BinaryTuple.le(txIdA, 8));
        records.writeBytes(BinaryTuple.le(txIdB, 8));
        records.writeBytes(payload);
        count++;
        return this;
    }

    public int count() {
        return count;
    }

    /** The whole batch in new native memory, owned by the caller. */
    public NativeMemory toNative() {
        byte[] body = records.toByteArray();
        NativeMemory memory = new NativeMemory(4 + body.length);
        memory.putInt(0, count);
        memory.putBytes(4, body);
        return memory;
    }
}
