package org.vornhale.demo;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import org.vornhale.internal.columnar.BinaryTuple;
import org.vornhale.internal.columnar.ColumnType;
import org.vornhale.internal.columnar.NativeInterface;
import org.vornhale.internal.columnar.NativeMemory;
import org.vornhale.internal.columnar.SchemaBuilder;

/**
 * Ingest and point-read rates through the JVM with the benchmark workload: rows
 * (k INT64 key, c1 INT32, c2 DOUBLE, c3 STRING(16), c4 TIMESTAMP) from splitmix64 streams,
 * written with processBatch in batches of 1,000 and read back with readRow. Prints medians of
 * three runs. Usage: IngestBench [rows] [directory]
 */
public final class IngestBench {
    private static final int BATCH = 1000;
    private static final String ALPHA = "abcdefghijklmnopqrstuvwxyz012345";

    private IngestBench() {}

    static final class SplitMix {
        long state;

        SplitMix(long seed) {
            state = seed;
        }

        long next() {
            state += 0x9E3779B97F4A7C15L;
            long z = state;
            z = (z ^ (z >>> 30)) * 0xBF58476D1CE4E5B9L;
            z = (z ^ (z >>> 27)) * 0x94D049BB133111EBL;
            return z ^ (z >>> 31);
        }
    }

    /** The workload's rows in key order, one after another. */
    static final class RowGenerator {
        private final SplitMix gen = new SplitMix(1);
        private long seconds = 1_600_000_000L;
        private long k = 0;

        byte[] next() {
            int c1 = (int) Long.remainderUnsigned(gen.next(), 1000);
            double c2 = (gen.next() >>> 11) * 0x1.0p-53;
            long r3 = gen.next();
            long r4 = gen.next();
            StringBuilder c3 = new StringBuilder(16);
            for (int j = 0; j < 12; j++) {
                c3.append(ALPHA.charAt((int) ((r3 >>> (5 * j)) & 31)));
            }
            for (int j = 12; j < 16; j++) {
                c3.append(ALPHA.charAt((int) ((r4 >>> (5 * (j - 12))) & 31)));
            }
            seconds += Long.remainderUnsigned(gen.next(), 1001);
            int nanos = (int) Long.remainderUnsigned(gen.next(), 1_000_000_000);
            return new BinaryTuple.Builder().int64(k++).int32(c1).float64(c2).string(c3.toString())
                    .timestamp(seconds, nanos).build();
        }
    }

    /** The rows k = 0..n-1 as binary tuples. */
    static byte[][] rows(int n) {
        byte[][] rows = new byte[n][];
        RowGenerator generator = new RowGenerator();
        for (int k = 0; k < n; k++) {
            rows[k] = generator.next();
        }
        return rows;
    }

    /** A batch of rows [start, end) of `rows` in native memory; row i gets transaction id i. */
    static NativeMemory batch(byte[][] rows, int start, int end, long firstId) {
        int size = 4;
        for (int i = start; i < end; i++) {
            size += 24 + rows[i].length;
        }
        NativeMemory memory = new NativeMemory(size);
        memory.putInt(0, end - start);
        int offset = 4;
        for (int i = start; i < end; i++) {
            memory.putInt(offset, 0);
            memory.putInt(offset + 4, rows[i].length);
            memory.putLong(offset + 8, firstId + i - start);
            memory.putLong(offset + 16, 1);
            memory.putBytes(offset + 24, rows[i]);
            offset += 24 + rows[i].length;
        }
        return memory;
    }

    /**
     * Generates n rows in key order one batch at a time and hands each batch (its first row
     * number and its native memory, closed afterwards) to `consumer`: no more than one batch
     * is ever in memory.
     */
    static void rowsInBatches(int n, java.util.function.ObjIntConsumer<NativeMemory> consumer) {
        RowGenerator generator = new RowGenerator();
        byte[][] rows = new byte[BATCH][];
        for (int start = 0; start < n; start += BATCH) {
            int count = Math.min(BATCH, n - start);
            for (int i = 0; i < count; i++) {
                rows[i] = generator.next();
            }
            try (NativeMemory memory = batch(rows, 0, count, start)) {
                consumer.accept(memory, start);
            }
        }
    }

    /** Batches of the rows in key order, each in native memory. */
    static List<NativeMemory> batches(byte[][] rows) {
        List<NativeMemory> batches = new ArrayList<>();
        for (int start = 0; start < rows.length; start += BATCH) {
            batches.add(batch(rows, start, Math.min(rows.length, start + BATCH), start));
        }
        return batches;
    }

    static long createPartition(long storage, int partitionId) {
        byte[] schema = new SchemaBuilder(1).key("k", ColumnType.INT64, 0)
                .column("c1", ColumnType.INT32, false).column("c2", ColumnType.DOUBLE, false)
                .column("c3", ColumnType.STRING, false).column("c4", ColumnType.TIMESTAMP, false)
                .build();
        try (NativeMemory s = NativeMemory.of(schema)) {
            return NativeInterface.createTablePartition("bench", storage, 1, partitionId, s.address(),
                    schema.length);
        }
    }

    static void ingest(long partition, List<NativeMemory> batches) {
        long timestamp = 1;
        for (NativeMemory batch : batches) {
            NativeInterface.processBatch(partition, timestamp++, batch.address());
        }
    }

    static double median(double[] values) {
        double[] sorted = values.clone();
        java.util.Arrays.sort(sorted);
        return sorted[sorted.length / 2];
    }

    public static void main(String[] args) throws Exception {
        int n = args.length > 0 ? Integer.parseInt(args[0]) : 1_000_000;
        Path root = Files.createTempDirectory(args.length > 1 ? Path.of(args[1]) : Path.of("/tmp"), "ombrel-bench");
        NativeInterface.load(System.getProperty("ombrel.library"));
        // One mem-table holds the whole run: the rates are those of the write and read paths.
        NativeInterface.setParameter("MEMTABLE_MAX_ENTRIES", Integer.toString(4 * n));
        byte[][] rows = rows(n);
        List<NativeMemory> batches = batches(rows);
        byte[][] keys = new byte[n][];
        SplitMix lookup = new SplitMix(3);
        for (int i = 0; i < n; i++) {
            keys[i] = new BinaryTuple.Builder().int64(Long.remainderUnsigned(lookup.next(), n)).build();
        }

        double[] ingest = new double[3];
        double[] reads = new double[3];
        double[] twoThreads = new double[3];
        for (int run = 0; run < 3; run++) {
            long storage = NativeInterface.createStorage(root.resolve("run" + run).toString());
            long partition = createPartition(storage, 0);
            long start = System.nanoTime();
            ingest(partition, batches);
            ingest[run] = n / ((System.nanoTime() - start) / 1e9);

            try (NativeMemory key = new NativeMemory(16); NativeMemory out = new NativeMemory(256)) {
                start = System.nanoTime();
                for (int i = 0; i < n; i++) {
                    key.putBytes(0, keys[i]);
                    NativeInterface.readRow(partition, Long.MAX_VALUE, key.address(), keys[i].length,
                            out.address(), 256);
                    if (out.getInt(0) == 0) {
                        throw new IllegalStateException("key not found: " + i);
                    }
                }
                reads[run] = n / ((System.nanoTime() - start) / 1e9);
            }

            long[] two = {createPartition(storage, 1), createPartition(storage, 2)};
            Thread[] threads = new Thread[2];
            start = System.nanoTime();
            for (int t = 0; t < 2; t++) {
                long p = two[t];
                threads[t] = new Thread(() -> ingest(p, batches));
                threads[t].start();
            }
            for (Thread t : threads) {
                t.join();
            }
            twoThreads[run] = 2.0 * n / ((System.nanoTime() - start) / 1e9);
            NativeInterface.dropTablePartition(storage, 1, 0);
            NativeInterface.dropTablePartition(storage, 1, 1);
            NativeInterface.dropTablePartition(storage, 1, 2);
            for (long p : new long[] {partition, two[0], two[1]}) {
                NativeInterface.releaseTablePartition(p);
            }
            NativeInterface.releaseStorage(storage);
        }
        System.out.printf("rows %d, batches of %d (medians of 3)%n", n, BATCH);
        System.out.printf("processBatch, one thread:  %,.0f rows/s%n", median(ingest));
        System.out.printf("readRow, one thread:       %,.0f reads/s%n", median(reads));
        System.out.printf("processBatch, two threads: %,.0f rows/s (%.2fx one thread)%n",
                median(twoThreads), median(twoThreads) / median(ingest));
        for (NativeMemory b : batches) {
            b.close();
        }
    }
}
