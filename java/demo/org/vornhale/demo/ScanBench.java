package org.vornhale.demo;

import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.List;
import org.vornhale.internal.columnar.NativeInterface;
import org.vornhale.internal.columnar.NativeMemory;

/**
 * Full scans of the workload rows through the cursor methods, the host decoding nothing: each
 * scan only asks for pages (cursorHasNextPage, cursorGatherTuples, and cursorGetBuffer when a
 * row needs a buffer of its own) and counts their rows. Three partitions: every row in
 * mem-tables (inserted in random order), durable and compacted (key order, then close, reopen,
 * full compaction), and as random-order ingest with the default configuration leaves it
 * (flushed segments merged into levels, and a mem-table). Each scan is timed by wall clock, by
 * the scanning thread's CPU, and by the CPU of the whole process, which counts the columns the
 * engine's pool decodes ahead for the scan (the cost on one core). An untimed first pass checks
 * the row count and a digest of every page byte, which must be the same for the three.
 * Usage: ScanBench [rows] [directory] [runs]
 */
public final class ScanBench {
    private ScanBench() {}

    private static final ThreadMXBean THREADS = ManagementFactory.getThreadMXBean();

    /**
     * CPU time of every thread of the process, the engine's own included, in nanoseconds (the
     * JVM's process CPU time counts in clock ticks of 10 ms, too coarse for one scan).
     */
    static long processCpuNanos() throws IOException {
        long sum = 0;
        try (DirectoryStream<Path> tasks = Files.newDirectoryStream(Path.of("/proc/self/task"))) {
            for (Path task : tasks) {
                try {
                    String stat = Files.readString(task.resolve("schedstat"));
                    sum += Long.parseLong(stat.substring(0, stat.indexOf(' ')));
                } catch (NoSuchFileException gone) {
                    // A thread that ended meanwhile.
                }
            }
        }
        return sum;
    }

    /** FNV-1a 64 over each page's rows, length prefixes included, continuing `h`. */
    static long digest(long h, ByteBuffer page, int rows) {
        int offset = 0;
        for (int r = 0; r < rows; r++) {
            int end = offset + 4 + page.getInt(offset);
            for (int i = offset; i < end; i++) {
                h = (h ^ (page.get(i) & 0xff)) * 0x100000001B3L;
            }
            offset = end;
        }
        return h;
    }

    /** Rows of a scan at the latest timestamp; with `digest` non-null, digests the pages in it. */
    static long scan(long partition, long[] digest) {
        long[] rows = {0};
        SideBySide.drainPages(NativeInterface.createCursor(partition, Long.MAX_VALUE, null),
                (page, count) -> {
                    rows[0] += count;
                    if (digest != null) {
                        digest[0] = digest(digest[0], page, count);
                    }
                });
        return rows[0];
    }

    static String range(double[] values) {
        double[] sorted = values.clone();
        Arrays.sort(sorted);
        return String.format("%6.2f (%.2f-%.2f)", sorted[sorted.length / 2] / 1e6, sorted[0] / 1e6,
                sorted[sorted.length - 1] / 1e6);
    }

    /** Scans `runs` times and prints the rates; returns the digest of the pages. */
    static long measure(String name, long partition, int n, int runs) throws IOException {
        long[] digest = {0xCBF29CE484222325L};
        long rows = scan(partition, digest);
        if (rows != n) {
            throw new IllegalStateException(name + ": " + rows + " rows scanned, not " + n);
        }
        double[] wall = new double[runs];
        double[] thread = new double[runs];
        double[] process = new double[runs];
        for (int r = 0; r < runs; r++) {
            long w = System.nanoTime();
            long t = THREADS.getCurrentThreadCpuTime();
            long p = processCpuNanos();
            scan(partition, null);
            process[r] = n / ((processCpuNanos() - p) / 1e9);
            thread[r] = n / ((THREADS.getCurrentThreadCpuTime() - t) / 1e9);
            wall[r] = n / ((System.nanoTime() - w) / 1e9);
        }
        System.out.printf("%-26s %s  %s  %s  pages %016x%n", name, range(wall), range(thread),
                range(process), digest[0]);
        return digest[0];
    }

    public static void main(String[] args) throws Exception {
        int n = args.length > 0 ? Integer.parseInt(args[0]) : 2_000_000;
        Path base = Files.createTempDirectory(args.length > 1 ? Path.of(args[1]) : Path.of("/tmp"),
                "ombrel-scan");
        int runs = args.length > 2 ? Integer.parseInt(args[2]) : 7;
        NativeInterface.load(System.getProperty("ombrel.library"));
        byte[][] ordered = IngestBench.rows(n);
        List<NativeMemory> inOrder = IngestBench.batches(ordered);
        List<NativeMemory> shuffled = IngestBench.batches(DurableBench.shuffled(ordered));
        ordered = null;
        String defaultEntries = "262144";

        System.out.printf("%d rows, all five columns, M rows/s: median (range) of %d scans%n", n,
                runs);
        System.out.printf("%-26s %-21s  %-21s  %-21s%n", "partition", "wall", "scanning thread",
                "whole process");
        long storage = NativeInterface.createStorage(base.resolve("storage").toString());
        try {
            NativeInterface.setParameter("MEMTABLE_MAX_ENTRIES", Integer.toString(4 * n));
            long memtables = IngestBench.createPartition(storage, 0);
            IngestBench.ingest(memtables, shuffled);
            long pages = measure("mem-tables", memtables, n, runs);
            NativeInterface.dropTablePartition(storage, 1, 0);
            NativeInterface.releaseTablePartition(memtables);
            NativeInterface.setParameter("MEMTABLE_MAX_ENTRIES", defaultEntries);

            long compacted = IngestBench.createPartition(storage, 1);
            IngestBench.ingest(compacted, inOrder);
            NativeInterface.releaseTablePartition(compacted);
            NativeInterface.releaseStorage(storage);
            storage = NativeInterface.createStorage(base.resolve("storage").toString());
            compacted = NativeInterface.getTablePartition(storage, 1, 1);
            NativeInterface.doFullCompaction(compacted);
            if (measure("compacted", compacted, n, runs) != pages) {
                throw new IllegalStateException("compacted pages differ");
            }
            NativeInterface.releaseTablePartition(compacted);

            long ingested = IngestBench.createPartition(storage, 2);
            IngestBench.ingest(ingested, shuffled);
            if (measure("random ingest, as left", ingested, n, runs) != pages) {
                throw new IllegalStateException("pages after random ingest differ");
            }
            NativeInterface.releaseTablePartition(ingested);
        } finally {
            NativeInterface.releaseStorage(storage);
            for (NativeMemory b : inOrder) {
                b.close();
            }
            for (NativeMemory b : shuffled) {
                b.close();
            }
            DurableBench.deleteTree(base);
        }
    }
}
