package org.vornhale.demo;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.List;
import java.util.stream.Stream;
import org.vornhale.internal.columnar.BinaryTuple;
import org.vornhale.internal.columnar.NativeInterface;
import org.vornhale.internal.columnar.NativeMemory;

/**
 * Sustained ingest with the default configuration (mem-table flushes and merges included), in
 * key order and in random order, then the time to make the partition durable and compacted
 * (release, reopen, full compaction), its bytes per row on disk, and point reads on it. Rows and
 * orders are those of the benchmark workload. Prints medians of three runs. Then a partition of
 * `reopen rows` rows (key order, default 20,000,000; 0 skips it) is written and closed, and the
 * time to reopen it and read its first row is printed (best of three; the files are in the page
 * cache). With -Dombrel.keep=true the first run of each order keeps its compacted root;
 * -Dombrel.reads=N sets the number of point reads (default 1,000,000; 0 skips them);
 * -Dombrel.orders=key or =random runs that order alone.
 * Usage: DurableBench [rows] [directory] [reopen rows]
 */
public final class DurableBench {
    private DurableBench() {}

    /** The workload's random insertion order: Fisher-Yates driven by the stream seeded with 2. */
    static byte[][] shuffled(byte[][] rows) {
        int n = rows.length;
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
        byte[][] out = new byte[n][];
        for (int i = 0; i < n; i++) {
            out[i] = rows[perm[i]];
        }
        return out;
    }

    static long bytesUnder(Path dir) throws IOException {
        try (Stream<Path> files = Files.walk(dir)) {
            return files.filter(Files::isRegularFile).mapToLong(p -> p.toFile().length()).sum();
        }
    }

    static void deleteTree(Path dir) throws IOException {
        try (Stream<Path> files = Files.walk(dir)) {
            for (Path p : (Iterable<Path>) files.sorted(Comparator.reverseOrder())::iterator) {
                Files.delete(p);
            }
        }
    }

    /** Reads of every key at the latest timestamp per second; the first pass warms the cache. */
    static double pointReads(long partition, byte[][] keys) {
        double reads = 0;
        try (NativeMemory key = new NativeMemory(16); NativeMemory out = new NativeMemory(256)) {
            for (int pass = 0; pass < 2; pass++) {
                long start = System.nanoTime();
                for (byte[] k : keys) {
                    key.putBytes(0, k);
                    NativeInterface.readRow(partition, Long.MAX_VALUE, key.address(), k.length,
                            out.address(), 256);
                    if (out.getInt(0) == 0) {
                        throw new IllegalStateException("key not found");
                    }
                }
                reads = keys.length / ((System.nanoTime() - start) / 1e9);
            }
        }
        return reads;
    }

    record result(double ingest, double durableSeconds, double bytesPerRow, double reads) {}

    static result run(Path root, List<NativeMemory> batches, int n, byte[][] keys, boolean keep)
            throws Exception {
        long storage = NativeInterface.createStorage(root.toString());
        long partition = IngestBench.createPartition(storage, 0);
        long start = System.nanoTime();
        IngestBench.ingest(partition, batches);
        double ingest = n / ((System.nanoTime() - start) / 1e9);

        start = System.nanoTime();
        NativeInterface.releaseTablePartition(partition);
        NativeInterface.releaseStorage(storage);
        storage = NativeInterface.createStorage(root.toString());
        partition = NativeInterface.getTablePartition(storage, 1, 0);
        NativeInterface.doFullCompaction(partition);
        double durable = (System.nanoTime() - start) / 1e9;
        double bytesPerRow = (double) bytesUnder(root) / n;

        double reads = keys.length > 0 ? pointReads(partition, keys) : 0;
        NativeInterface.releaseTablePartition(partition);
        NativeInterface.releaseStorage(storage);
        if (keep) {
            System.out.printf("kept %s%n", root);
        } else {
            deleteTree(root);
        }
        return new result(ingest, durable, bytesPerRow, reads);
    }

    /**
     * Writes `n` rows in key order (generated batch by batch, so that large partitions fit in
     * memory), closes the partition, and returns the best of three times to reopen it and read
     * the row of key 0.
     */
    static double reopen(Path root, int n) throws Exception {
        long storage = NativeInterface.createStorage(root.toString());
        long written = IngestBench.createPartition(storage, 0);
        IngestBench.rowsInBatches(n, (memory, start) ->
                NativeInterface.processBatch(written, 1 + start / 1000, memory.address()));
        NativeInterface.releaseTablePartition(written);
        NativeInterface.releaseStorage(storage);
        long partition;
        double best = Double.MAX_VALUE;
        byte[] first = new BinaryTuple.Builder().int64(0).build();
        try (NativeMemory key = NativeMemory.of(first); NativeMemory out = new NativeMemory(256)) {
            for (int run = 0; run < 3; run++) {
                long start = System.nanoTime();
                storage = NativeInterface.createStorage(root.toString());
                partition = NativeInterface.getTablePartition(storage, 1, 0);
                NativeInterface.readRow(partition, Long.MAX_VALUE, key.address(), first.length,
                        out.address(), 256);
                double seconds = (System.nanoTime() - start) / 1e9;
                if (out.getInt(0) == 0) {
                    throw new IllegalStateException("first row not found");
                }
                best = Math.min(best, seconds);
                NativeInterface.releaseTablePartition(partition);
                NativeInterface.releaseStorage(storage);
            }
        }
        deleteTree(root);
        return best;
    }

    public static void main(String[] args) throws Exception {
        int n = args.length > 0 ? Integer.parseInt(args[0]) : 2_000_000;
        int reopenRows = args.length > 2 ? Integer.parseInt(args[2]) : 20_000_000;
        boolean keep = Boolean.getBoolean("ombrel.keep");
        Path base = Files.createTempDirectory(args.length > 1 ? Path.of(args[1]) : Path.of("/tmp"),
                "ombrel-durable");
        NativeInterface.load(System.getProperty("ombrel.library"));
        byte[][] ordered = IngestBench.rows(n);
        byte[][] random = shuffled(ordered);
        int lookups = Math.min(n, Integer.getInteger("ombrel.reads", 1_000_000));
        byte[][] keys = new byte[lookups][];
        IngestBench.SplitMix lookup = new IngestBench.SplitMix(3);
        for (int i = 0; i < lookups; i++) {
            keys[i] = new BinaryTuple.Builder().int64(Long.remainderUnsigned(lookup.next(), n)).build();
        }
        System.out.printf("rows %d, batches of 1000, default configuration (medians of 3)%n", n);
        String only = System.getProperty("ombrel.orders", "");
        for (String order : new String[] {"key order", "random order"}) {
            if (!only.isEmpty() && !order.startsWith(only)) {
                continue;
            }
            List<NativeMemory> batches = IngestBench.batches(order.equals("key order") ? ordered : random);
            List<result> results = new ArrayList<>();
            for (int run = 0; run < 3; run++) {
                results.add(run(base.resolve(order.charAt(0) + "" + run), batches, n, keys,
                        keep && run == 0));
            }
            System.out.printf("%s: ingest %,.0f rows/s; durable and compacted in %.3f s; "
                            + "%.1f bytes/row; readRow %,.0f reads/s%n",
                    order, IngestBench.median(results.stream().mapToDouble(r -> r.ingest).toArray()),
                    IngestBench.median(results.stream().mapToDouble(r -> r.durableSeconds).toArray()),
                    IngestBench.median(results.stream().mapToDouble(r -> r.bytesPerRow).toArray()),
                    IngestBench.median(results.stream().mapToDouble(r -> r.reads).toArray()));
            for (NativeMemory b : batches) {
                b.close();
            }
        }
        ordered = null;
        random = null;
        keys = null;
        if (reopenRows > 0) {
            System.out.printf("reopen a partition of %d rows (key order, closed) and read its first "
                    + "row: %.3f s (best of 3)%n", reopenRows, reopen(base.resolve("reopen"), reopenRows));
        }
        if (!keep) {
            deleteTree(base);
        }
    }
}
