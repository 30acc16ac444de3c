package org.vornhale.demo;

import java.math.BigDecimal;
import java.math.MathContext;
import java.math.RoundingMode;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import org.vornhale.internal.columnar.BinaryTuple;
import org.vornhale.internal.columnar.NativeMemory;

/**
 * The benchmark workload held column by column (40 bytes a row, so that tens of millions of rows
 * fit), its row tuples and batches, the digest of its records, and the answers every engine must
 * give: the generator of bench/workload.h, the folds of bench/peers/harness.h, and the same
 * canonical text for the answers so that the report can compare engines. Not thread-safe.
 */
final class Workload {
    static final int BATCH = 1000;
    private static final byte[] ALPHA =
            "abcdefghijklmnopqrstuvwxyz012345".getBytes(StandardCharsets.US_ASCII);

    final int n;
    final int[] c1;
    final double[] c2;
    final byte[] c3;  // 16 bytes a row
    final long[] c4Seconds;
    final int[] c4Nanos;

    Workload(int n) {
        this.n = n;
        c1 = new int[n];
        c2 = new double[n];
        c3 = new byte[16 * n];
        c4Seconds = new long[n];
        c4Nanos = new int[n];
        IngestBench.SplitMix gen = new IngestBench.SplitMix(1);
        long seconds = 1_600_000_000L;
        for (int k = 0; k < n; k++) {
            c1[k] = (int) Long.remainderUnsigned(gen.next(), 1000);
            c2[k] = (gen.next() >>> 11) * 0x1.0p-53;
            long r3 = gen.next();
            long r4 = gen.next();
            for (int j = 0; j < 12; j++) {
                c3[16 * k + j] = ALPHA[(int) ((r3 >>> (5 * j)) & 31)];
            }
            for (int j = 12; j < 16; j++) {
                c3[16 * k + j] = ALPHA[(int) ((r4 >>> (5 * (j - 12))) & 31)];
            }
            seconds += Long.remainderUnsigned(gen.next(), 1001);
            c4Seconds[k] = seconds;
            c4Nanos[k] = (int) Long.remainderUnsigned(gen.next(), 1_000_000_000);
        }
    }

    /** The random insertion order: Fisher-Yates driven by the stream seeded with 2. */
    int[] permutation() {
        int[] perm = new int[n];
        for (int i = 0; i < n; i++) {
            perm[i] = i;
        }
        IngestBench.SplitMix gen = new IngestBench.SplitMix(2);
        for (int i = n - 1; i >= 1; i--) {
            int j = (int) Long.remainderUnsigned(gen.next(), i + 1);
            int t = perm[i];
            perm[i] = perm[j];
            perm[j] = t;
        }
        return perm;
    }

    /** The point-read keys: the stream seeded with 3, modulo n. */
    long[] lookups(int count) {
        long[] keys = new long[count];
        IngestBench.SplitMix gen = new IngestBench.SplitMix(3);
        for (int i = 0; i < count; i++) {
            keys[i] = Long.remainderUnsigned(gen.next(), n);
        }
        return keys;
    }

    /** Row k as a binary tuple. */
    byte[] tuple(int k) {
        byte[] text = new byte[16];
        System.arraycopy(c3, 16 * k, text, 0, 16);
        return new BinaryTuple.Builder().int64(k).int32(c1[k]).float64(c2[k]).varlen(text)
                .timestamp(c4Seconds[k], c4Nanos[k]).build();
    }

    /** Batches of 1,000 upserts in native memory, rows in the given order (null: key order). */
    List<NativeMemory> batches(int[] order) {
        List<NativeMemory> batches = new ArrayList<>();
        for (int start = 0; start < n; start += BATCH) {
            int end = Math.min(n, start + BATCH);
            byte[][] rows = new byte[end - start][];
            int size = 4;
            for (int i = start; i < end; i++) {
                rows[i - start] = tuple(order == null ? i : order[i]);
                size += 24 + rows[i - start].length;
            }
            ByteBuffer b = ByteBuffer.allocate(size).order(ByteOrder.nativeOrder());
            b.putInt(end - start);
            for (int i = start; i < end; i++) {
                b.putInt(0).putInt(rows[i - start].length).putLong(i).putLong(1).put(rows[i - start]);
            }
            batches.add(NativeMemory.of(b.array()));
        }
        return batches;
    }

    /** One decoded row, reused from row to row. */
    static final class Row {
        long k;
        int c1;
        double c2;
        final byte[] c3 = new byte[16];
        long c4Seconds;
        int c4Nanos;
    }

    void row(int k, Row out) {
        out.k = k;
        out.c1 = c1[k];
        out.c2 = c2[k];
        System.arraycopy(c3, 16 * k, out.c3, 0, 16);
        out.c4Seconds = c4Seconds[k];
        out.c4Nanos = c4Nanos[k];
    }

    /** FNV-1a 64 over the 48-byte little-endian records of the rows fed, in order. */
    static final class Digest {
        private long h = 0xCBF29CE484222325L;

        private void mix(long v, int bytes) {
            for (int i = 0; i < bytes; i++) {
                h ^= (v >>> (8 * i)) & 0xFF;
                h *= 0x100000001B3L;
            }
        }

        void add(Row r) {
            mix(r.k, 8);
            mix(r.c1, 4);
            mix(Double.doubleToRawLongBits(r.c2), 8);
            for (byte b : r.c3) {
                h ^= b & 0xFF;
                h *= 0x100000001B3L;
            }
            mix(r.c4Seconds, 8);
            mix(r.c4Nanos, 4);
        }

        String hex() {
            return String.format("%016x", h);
        }
    }

    /** The digest of every row in key order. */
    String digest() {
        Digest d = new Digest();
        Row r = new Row();
        for (int k = 0; k < n; k++) {
            row(k, r);
            d.add(r);
        }
        return d.hex();
    }

    /** C's %.10g for the values the workload produces: the engines may add in other orders. */
    static String format(double v) {
        BigDecimal d = new BigDecimal(v).round(new MathContext(10, RoundingMode.HALF_EVEN));
        String s = d.stripTrailingZeros().toPlainString();
        return s.equals("0.0") ? "0" : s;
    }

    static String timestamp(long seconds, int nanos) {
        return seconds + "." + String.format("%09d", nanos);
    }

    static String text(byte[] bytes) {
        return new String(bytes, StandardCharsets.US_ASCII);
    }

    static int compare(byte[] a, byte[] b) {
        return java.util.Arrays.compareUnsigned(a, b);
    }

    /** count(*), sum(c1), sum(k), sum(c2), max(c3), max(c4) folded row by row. */
    static final class Ungrouped {
        long count;
        long sumC1;
        long sumK;
        double sumC2;
        byte[] maxC3 = new byte[16];
        long maxC4Seconds;
        int maxC4Nanos;

        void add(Row r) {
            if (count == 0 || compare(r.c3, maxC3) > 0) {
                maxC3 = r.c3.clone();
            }
            if (count == 0 || r.c4Seconds > maxC4Seconds
                    || (r.c4Seconds == maxC4Seconds && r.c4Nanos > maxC4Nanos)) {
                maxC4Seconds = r.c4Seconds;
                maxC4Nanos = r.c4Nanos;
            }
            count++;
            sumC1 += r.c1;
            sumK += r.k;
            sumC2 += r.c2;
        }

        @Override
        public String toString() {
            return "count=" + count + " sum(c1)=" + sumC1 + " sum(k)=" + sumK + " sum(c2)="
                    + format(sumC2) + " max(c3)=" + text(maxC3) + " max(c4)="
                    + timestamp(maxC4Seconds, maxC4Nanos);
        }
    }

    /** One group of GROUP BY c1: count(*), sum(k), avg(c2), min(c3), max(c4). */
    static final class Group {
        int c1;
        long count;
        long sumK;
        double sumC2;
        double avgC2;
        byte[] minC3 = new byte[16];
        long maxC4Seconds;
        int maxC4Nanos;

        void add(Row r) {
            if (count == 0 || compare(r.c3, minC3) < 0) {
                minC3 = r.c3.clone();
            }
            if (count == 0 || r.c4Seconds > maxC4Seconds
                    || (r.c4Seconds == maxC4Seconds && r.c4Nanos > maxC4Nanos)) {
                maxC4Seconds = r.c4Seconds;
                maxC4Nanos = r.c4Nanos;
            }
            count++;
            sumK += r.k;
            sumC2 += r.c2;
            avgC2 = sumC2 / count;
        }

        @Override
        public String toString() {
            return "c1=" + c1 + " count=" + count + " sum(k)=" + sumK + " avg(c2)=" + format(avgC2)
                    + " min(c3)=" + text(minC3) + " max(c4)=" + timestamp(maxC4Seconds, maxC4Nanos);
        }
    }

    /** The expected answers, folded from the generated rows. */
    Ungrouped ungrouped() {
        Ungrouped u = new Ungrouped();
        Row r = new Row();
        for (int k = 0; k < n; k++) {
            row(k, r);
            u.add(r);
        }
        return u;
    }

    List<Group> groups() {
        Map<Integer, Group> groups = new HashMap<>();
        Row r = new Row();
        for (int k = 0; k < n; k++) {
            row(k, r);
            Group g = groups.computeIfAbsent(r.c1, c -> new Group());
            g.c1 = r.c1;
            g.add(r);
        }
        List<Group> sorted = new ArrayList<>(groups.values());
        sorted.sort((a, b) -> Integer.compare(a.c1, b.c1));
        return sorted;
    }
}
