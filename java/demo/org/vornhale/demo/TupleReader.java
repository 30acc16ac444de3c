package org.vornhale.demo;

import java.nio.ByteBuffer;

/**
 * Reads the elements of one binary tuple in place, from a buffer in little-endian order: the
 * header byte, the table of element end offsets, the values. Reused from tuple to tuple; only
 * the element forms the workload's columns and aggregates use are decoded.
 */
final class TupleReader {
    private ByteBuffer buffer;
    private int base;
    private int entry;
    private int values;

    /** Points at a tuple of `count` elements starting at `offset`. */
    TupleReader at(ByteBuffer buffer, int offset, int count) {
        this.buffer = buffer;
        this.base = offset;
        this.entry = 1 << (buffer.get(offset) & 3);
        this.values = offset + 1 + count * entry;
        return this;
    }

    private int end(int i) {
        int at = base + 1 + i * entry;
        switch (entry) {
            case 1:
                return buffer.get(at) & 0xFF;
            case 2:
                return buffer.getShort(at) & 0xFFFF;
            default:
                return buffer.getInt(at);
        }
    }

    private int start(int i) {
        return i == 0 ? 0 : end(i - 1);
    }

    int length(int i) {
        return end(i) - start(i);
    }

    /** An integer element of 1, 2, 4 or 8 bytes. */
    long int64(int i) {
        int at = values + start(i);
        switch (length(i)) {
            case 1:
                return buffer.get(at);
            case 2:
                return buffer.getShort(at);
            case 4:
                return buffer.getInt(at);
            case 8:
                return buffer.getLong(at);
            default:
                throw new IllegalStateException("integer of " + length(i) + " bytes");
        }
    }

    double float64(int i) {
        int at = values + start(i);
        return length(i) == 4 ? buffer.getFloat(at) : buffer.getDouble(at);
    }

    /** A 16-byte string element into `out`; false when it has another length. */
    boolean bytes16(int i, byte[] out) {
        int at = values + start(i);
        int length = length(i);
        if (length > 0 && buffer.get(at) == (byte) 0x80) {
            at++;
            length--;
        }
        if (length != 16) {
            return false;
        }
        buffer.get(at, out, 0, 16);
        return true;
    }

    long seconds(int i) {
        return buffer.getLong(values + start(i));
    }

    int nanos(int i) {
        return length(i) == 12 ? buffer.getInt(values + start(i) + 8) : 0;
    }

    /** The workload's five columns into `out`. */
    void row(Workload.Row out) {
        out.k = int64(0);
        out.c1 = (int) int64(1);
        out.c2 = float64(2);
        if (!bytes16(3, out.c3)) {
            throw new IllegalStateException("c3 of row " + out.k + " is not 16 bytes");
        }
        out.c4Seconds = seconds(4);
        out.c4Nanos = nanos(4);
    }
}
