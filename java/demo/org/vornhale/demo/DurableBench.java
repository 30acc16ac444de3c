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
 * orders are those of the benchmark workload. Prints medians of three runs.
 * Usage: DurableBench [rows] [directory]
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

    record result(double ingest, double durableSeconds, double bytesPerRow, double reads) {}

    static result run(Path root, List<NativeMemory> batches, int n, byte[][] keys) throws Exception {
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

        double reads;
        try (NativeMemory key = new NativeMemory(16); NativeMemory out = new NativeMemory(256)) {
            for (int pass = 0; pass < 2; pass++) {  // the first pass warms the block cache
                start = System.nanoTime();
                for (byte[] k : keys) {
                    key.putBytes(0, k);
                    NativeInterface.readRow(partition, Long.MAX_VALUE, key.address(), k.length,
                            out.address(), 256);
                    if (out.getInt(0) == 0) {
                        throw new IllegalStateException("key not found");
                    }
                }
            }
            reads = keys.length / ((System.nanoTime() - start) / 1e9);
        }
        NativeInterface.releaseTablePartition(partition);
        NativeInterface.releaseStorage(storage);
        deleteTree(root);
        return new result(ingest, durable, bytesPerRow, reads);
    }

    public static void main(String[] args) throws Exception {
        int n = args.length > 0 ? Integer.parseInt(args[0]) : 2_000_000;
        Path base = Files.createTempDirectory(args.length > 1 ? Path.of(args[1]) : Path.of("/tmp"),
                "ombrel-durable");
        NativeInterface.load(System.getProperty("ombrel.library"));
        byte[][] ordered = IngestBench.rows(n);
        byte[][] random = shuffled(ordered);
        int lookups = Math.min(n, 1_000_000);
        byte[][] keys = new byte[lookups][];
        IngestBench.SplitMix lookup = new IngestBench.SplitMix(3);
        for (int i = 0; i < lookups; i++) {
            keys[i] = new BinaryTuple.Builder().int64(Long.remainderUnsigned(lookup.next(), n)).build();
        }
        System.out.printf("rows %d, batches of 1000, default configuration (medians of 3)%n", n);
        for (String order : new String[] {"key order", "random order"}) {
            List<NativeMemory> batches = IngestBench.batches(order.equals("key order") ? ordered : random);
            List<result> results = new ArrayList<>();
            for (int run = 0; run < 3; run++) {
                results.add(run(base.resolve(order.charAt(0) + "" + run), batches, n, keys));
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
        deleteTree(base);
    }
}
