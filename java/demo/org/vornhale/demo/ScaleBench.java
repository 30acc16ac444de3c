package org.vornhale.demo;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.stream.Stream;
import org.vornhale.internal.columnar.NativeInterface;
import org.vornhale.internal.columnar.NativeMemory;

/**
 * Ombrel at growing sizes, default configuration, rows in the workload's random order: ingest
 * rate, write amplification, the levels the tree holds, and point-read latency percentiles, as
 * ingested (after a close and reopen) and after a full compaction. One run per size; prints
 * tab-separated "scale" lines for bench/report.py.
 * Usage: ScaleBench [--lookups N] [--dir PATH] rows...
 */
public final class ScaleBench {
    private ScaleBench() {}

    /** Bytes this process has passed to write calls so far. */
    static long bytesWritten() throws IOException {
        for (String line : Files.readAllLines(Path.of("/proc/self/io"))) {
            if (line.startsWith("wchar:")) {
                return Long.parseLong(line.substring(6).trim());
            }
        }
        throw new IOException("no wchar in /proc/self/io");
    }

    /** "L levels: a/b/c segments" from the partition's newest layout file. */
    static String levels(Path partition) throws IOException {
        Path newest = null;
        long newestNumber = -1;
        try (Stream<Path> files = Files.list(partition)) {
            for (Path p : (Iterable<Path>) files::iterator) {
                String name = p.getFileName().toString();
                if (name.startsWith("_layout_")) {
                    long number = Long.parseLong(name.substring(8));
                    if (number > newestNumber) {
                        newestNumber = number;
                        newest = p;
                    }
                }
            }
        }
        if (newest == null) {
            return "no layout";
        }
        // Little-endian words: the level count, then per level its segment count and numbers.
        ByteBuffer b = ByteBuffer.wrap(Files.readAllBytes(newest)).order(ByteOrder.LITTLE_ENDIAN);
        int count = (int) b.getLong(0);
        List<String> segments = new ArrayList<>();
        int at = 8;
        for (int l = 0; l < count; l++) {
            long n = b.getLong(at);
            segments.add(Long.toString(n));
            at += 8 * (int) (n + 1);
        }
        return count + " levels: " + String.join("/", segments) + " segments";
    }

    static void line(long rows, String metric, Object value, String unit) {
        System.out.printf("scale\t%d\t%s\t%s\t%s%n", rows, metric, value, unit);
        System.out.flush();
    }

    /** Reads every key, timing each; prints the rate and the p50 and p99 latencies. */
    static void reads(int n, String prefix, long partition, SideBySide.Keys keys, NativeMemory out) {
        int count = keys.offsets.length - 1;
        long[] nanos = new long[count];
        long base = keys.memory.address();
        TupleReader tuple = new TupleReader();
        Workload.Row row = new Workload.Row();
        long total = System.nanoTime();
        for (int i = 0; i < count; i++) {
            long start = System.nanoTime();
            NativeInterface.readRow(partition, Long.MAX_VALUE, base + keys.offsets[i],
                    keys.offsets[i + 1] - keys.offsets[i], out.address(), (int) out.size());
            int length = out.getInt(0);
            if (length == 0) {
                throw new IllegalStateException("key " + i + " not found");
            }
            tuple.at(ByteBuffer.wrap(out.getBytes(4, length)).order(ByteOrder.LITTLE_ENDIAN), 0, 5).row(row);
            nanos[i] = System.nanoTime() - start;
        }
        double seconds = (System.nanoTime() - total) / 1e9;
        Arrays.sort(nanos);
        line(n, prefix + "read_rate", count / seconds, "reads/s");
        line(n, prefix + "read_p50", nanos[count / 2] / 1e3, "us");
        line(n, prefix + "read_p99", nanos[(int) (count * 0.99)] / 1e3, "us");
    }

    static void run(int n, int lookups, Path dir) throws Exception {
        Workload w = new Workload(n);
        List<NativeMemory> batches = w.batches(w.permutation());
        long tupleBytes = -4L * batches.size() - 24L * n;  // the batches less their headers
        for (NativeMemory b : batches) {
            tupleBytes += b.size();
        }
        long[] keysToRead = w.lookups(Math.min(lookups, n));
        w = null;  // the batches hold the rows now
        Path root = dir.resolve("ombrel-scale-" + ProcessHandle.current().pid());
        Files.createDirectories(root);
        Path partitionDir = root.resolve("1").resolve("0");
        try (SideBySide.Keys keys = new SideBySide.Keys(keysToRead); NativeMemory out = new NativeMemory(256)) {
            long storage = NativeInterface.createStorage(root.toString());
            long partition = IngestBench.createPartition(storage, 0);
            long written = bytesWritten();
            long start = System.nanoTime();
            SideBySide.ingest(partition, batches);
            double seconds = (System.nanoTime() - start) / 1e9;
            line(n, "ingest_rate", n / seconds, "rows/s");
            line(n, "write_amp_ingest", (double) (bytesWritten() - written) / tupleBytes, "x");
            for (NativeMemory b : batches) {
                b.close();
            }
            batches = null;

            // As ingested: whatever the flushes and merges left, made durable by a close.
            NativeInterface.releaseTablePartition(partition);
            NativeInterface.releaseStorage(storage);
            line(n, "levels_after_ingest", levels(partitionDir), "");
            storage = NativeInterface.createStorage(root.toString());
            partition = NativeInterface.getTablePartition(storage, 1, 0);
            reads(n, "", partition, keys, out);

            start = System.nanoTime();
            NativeInterface.doFullCompaction(partition);
            line(n, "durable_time", (System.nanoTime() - start) / 1e9, "s");
            line(n, "write_amp_total", (double) (bytesWritten() - written) / tupleBytes, "x");
            line(n, "levels_after_compaction", levels(partitionDir), "");
            line(n, "bytes_per_row", (double) DurableBench.bytesUnder(root) / n, "bytes/row");
            reads(n, "compacted_", partition, keys, out);
            NativeInterface.releaseTablePartition(partition);
            NativeInterface.releaseStorage(storage);
        } finally {
            DurableBench.deleteTree(root);
        }
    }

    public static void main(String[] args) throws Exception {
        int lookups = 1_000_000;
        Path dir = Path.of(System.getProperty("java.io.tmpdir"));
        List<Integer> sizes = new ArrayList<>();
        for (int i = 0; i < args.length; i++) {
            switch (args[i]) {
                case "--lookups" -> lookups = Integer.parseInt(args[++i]);
                case "--dir" -> dir = Path.of(args[++i]);
                default -> sizes.add(Integer.parseInt(args[i]));
            }
        }
        NativeInterface.load(System.getProperty("ombrel.library"));
        System.out.printf("info\tOmbrel\tlookups\t%d%n", lookups);
        System.out.printf("info\tOmbrel\tsizes\t%s%n",
                String.join(" ", sizes.stream().map(String::valueOf).toList()));
        int status = 0;
        for (int n : sizes) {
            try {
                run(n, lookups, dir);
            } catch (Throwable e) {
                System.out.printf("fail\tOmbrel\t%d\t%s (%s)%n", n, e.getMessage(), e.getClass().getSimpleName());
                status = 1;
            }
        }
        System.exit(status);
    }
}
