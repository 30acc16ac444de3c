package org.vornhale.internal.columnar;

import java.io.ByteArrayOutputStream;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;

/**
 * Builds and reads binary tuples: a header byte, a table of element end offsets and the encoded
 * values. Covers the types the host tests and the demo use; null elements are empty.
 */
public final class BinaryTuple {
    private BinaryTuple() {}

    /** Collects encoded elements, then writes the tuple. */
    public static final class Builder {
        private final List<byte[]> elements = new ArrayList<>();

        public Builder nullValue() {
            elements.add(new byte[0]);
            return this;
        }

        public Builder int64(long v) {
            if (v == (byte) v) {
                return add(le(v, 1));
            } else if (v == (short) v) {
                return add(le(v, 2));
            } else if (v == (int) v) {
                return add(le(v, 4));
            }
            return add(le(v, 8));
        }

        public Builder int32(int v) {
            return int64(v);
        }

        public Builder float64(double v) {
            float f = (float) v;
            if ((double) f == v) {
                return add(le(Float.floatToRawIntBits(f), 4));
            }
            return add(le(Double.doubleToRawLongBits(v), 8));
        }

        public Builder bool(boolean v) {
            return add(new byte[] {(byte) (v ? 1 : 0)});
        }

        public Builder string(String s) {
            return varlen(s.getBytes(StandardCharsets.UTF_8));
        }

        public Builder varlen(byte[] bytes) {
            if (bytes.length == 0 || bytes[0] == (byte) 0x80) {
                byte[] escaped = new byte[bytes.length + 1];
                escaped[0] = (byte) 0x80;
                System.arraycopy(bytes, 0, escaped, 1, bytes.length);
                return add(escaped);
            }
            return add(bytes.clone());
        }

        public Builder timestamp(long seconds, int nanos) {
            ByteBuffer b = ByteBuffer.allocate(nanos == 0 ? 8 : 12).order(ByteOrder.LITTLE_ENDIAN);
            b.putLong(seconds);
            if (nanos != 0) {
                b.putInt(nanos);
            }
            return add(b.array());
        }

        public Builder uuid(long mostSignificant, long leastSignificant) {
            ByteBuffer b = ByteBuffer.allocate(16).order(ByteOrder.LITTLE_ENDIAN);
            return add(b.putLong(mostSignificant).putLong(leastSignificant).array());
        }

        /** An element given as its encoded bytes, unchanged. */
        public Builder raw(byte[] encoded) {
            return add(encoded.clone());
        }

        private Builder add(byte[] encoded) {
            elements.add(encoded);
            return this;
        }

        public byte[] build() {
            int valueSize = 0;
            for (byte[] e : elements) {
                valueSize += e.length;
            }
            int entry = valueSize < 256 ? 1 : valueSize < 65536 ? 2 : 4;
            ByteArrayOutputStream out = new ByteArrayOutputStream();
            out.write(entry == 1 ? 0 : entry == 2 ? 1 : 2);
            int end = 0;
            for (byte[] e : elements) {
                end += e.length;
                out.writeBytes(le(end, entry));
            }
            for (byte[] e : elements) {
                out.writeBytes(e);
            }
            return out.toByteArray();
        }
    }

    /** The elements of a tuple of {@code count} elements, null for null elements. */
    public static byte[][] elements(byte[] tuple, int count) {
        int entry = 1 << (tuple[0] & 3);
        byte[][] result = new byte[count][];
        int previous = 0;
        int valueStart = 1 + count * entry;
        for (int i = 0; i < count; i++) {
            int end = (int) readLe(tuple, 1 + i * entry, entry);
            if (end != previous) {
                byte[] value = new byte[end - previous];
                System.arraycopy(tuple, valueStart + previous, value, 0, value.length);
                result[i] = value;
            }
            previous = end;
        }
        return result;
    }

    /** Decodes an integer element of 1, 2, 4 or 8 bytes. */
    public static long int64(byte[] element) {
        long v = readLe(element, 0, element.length);
        int shift = 64 - 8 * element.length;
        return (v << shift) >> shift;
    }

    public static double float64(byte[] element) {
        if (element.length == 4) {
            return Float.intBitsToFloat((int) readLe(element, 0, 4));
        }
        return Double.longBitsToDouble(readLe(element, 0, 8));
    }

    public static String string(byte[] element) {
        int skip = element.length > 0 && element[0] == (byte) 0x80 ? 1 : 0;
        return new String(element, skip, element.length - skip, StandardCharsets.UTF_8);
    }

    static byte[] le(long v, int width) {
        byte[] out = new byte[width];
        for (int i = 0; i < width; i++) {
            out[i] = (byte) (v >>> (8 * i));
        }
        return out;
    }

    static long readLe(byte[] bytes, int offset, int width) {
        long v = 0;
        for (int i = 0; i < width; i++) {
            v |= (bytes[offset + i] & 0xFFL) << (8 * i);
        }
        return v;
    }
}
