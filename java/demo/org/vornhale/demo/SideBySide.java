package org.vornhale.demo;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import org.vornhale.internal.columnar.BinaryTuple;
import org.vornhale.internal.columnar.NativeInterface;
import org.vornhale.internal.columnar.NativeMemory;

/**
 * The side-by-side benchmark's phases on Ombrel through the native methods, with the default
 * configuration: the counterpart of bench/peers/harness.cc for the peer engines, printing the
 * same tab-separated result, check and failure lines for bench/report.py. Every answer is
 * compared with the generator's; a phase that fails is printed as failed.
 * Usage: SideBySide [--rows N] [--lookups N] [--runs N] [--dir PATH] | --check
 */
public final class SideBySide {
    private static final String ENGINE = "Ombrel";
    private static final int COUNT = 0;
    private static final int SUM = 1;
    private static final int AVG = 2;
    private static final int MIN = 3;
    private static final int MAX = 4;
    private static final int ANY = 5;
    private static final List<String> PHASES = List.of("ingest_key", "durable_key", "ingest_random",
            "durable_random", "point_read", "scan", "ungrouped", "group_by", "ingest_two_threads");

    private SideBySide() {}

    interface Body {
        void run() throws Exception;
    }

    /** Samples per phase and metric, the first failure of each phase, the first run's checks. */
    static final class Recorder {
        private final Map<String, Map<String, List<Double>>> samples = new HashMap<>();
        private final Map<String, String> units = new HashMap<>();
        private final Map<String, String> failed = new HashMap<>();
        private final Map<String, String> checks = new TreeMap<>();

        boolean attempt(String phase, List<String> needs, Body body) {
            if (failed.containsKey(phase)) {
                return false;
            }
            for (String need : needs) {
                if (failed.containsKey(need)) {
                    failed.put(phase, "not run: " + need + " failed");
                    return false;
                }
            }
            try {
                body.run();
                return true;
            } catch (Throwable e) {
                failed.put(phase, String.valueOf(e.getMessage()).lines().findFirst().orElse("")
                        + " (" + e.getClass().getSimpleName() + ")");
                return false;
            }
        }

        void sample(String phase, String metric, String unit, double value) {
            samples.computeIfAbsent(phase, p -> new LinkedHashMap<>())
                    .computeIfAbsent(metric, m -> new ArrayList<>()).add(value);
            units.put(phase + "/" + metric, unit);
        }

        void check(String name, String value) {
            checks.putIfAbsent(name, value);
        }

        int print() {
            for (String phase : PHASES) {
                if (failed.containsKey(phase)) {
                    System.out.printf("fail\t%s\t%s\t%s%n", ENGINE, phase, failed.get(phase));
                    continue;
                }
                for (Map.Entry<String, List<Double>> m : samples.getOrDefault(phase, Map.of()).entrySet()) {
                    double[] v = m.getValue().stream().mapToDouble(Double::doubleValue).sorted().toArray();
                    System.out.printf("result\t%s\t%s\t%s\t%s\t%s%n", ENGINE, phase, m.getKey(),
                            v[v.length / 2], units.get(phase + "/" + m.getKey()));
                }
            }
            for (Map.Entry<String, String> c : checks.entrySet()) {
                System.out.printf("check\t%s\t%s\t%s%n", ENGINE, c.getKey(), c.getValue());
            }
            System.out.flush();
            return failed.isEmpty() ? 0 : 1;
        }
    }

    static void expect(String what, Object got, Object want) {
        if (!got.toString().equals(want.toString())) {
            throw new IllegalStateException(what + " is " + got + ", expected " + want);
        }
    }

    static long call(int function, int column) {
        return ((long) column << 32) | (function << 1);
    }

    interface TupleSink {
        void accept(TupleReader tuple);
    }

    interface PageSink {
        void accept(ByteBuffer page, int count);
    }

    /**
     * Drains a cursor page by page, handing each page and its row count to the sink, then
     * releases the cursor.
     */
    static void drainPages(long cursor, PageSink sink) {
        try {
            ByteBuffer page = NativeInterface.cursorGetBuffer(cursor).order(ByteOrder.LITTLE_ENDIAN);
            int empty = 0;
            while (NativeInterface.cursorHasNextPage(cursor)) {
                int count = NativeInterface.cursorGatherTuples(cursor);
                if (count == 0) {
                    // The next row needs a buffer of its own.
                    if (++empty > 1) {
                        throw new IllegalStateException("cursor returns empty pages");
                    }
                    page = NativeInterface.cursorGetBuffer(cursor).order(ByteOrder.LITTLE_ENDIAN);
                    continue;
                }
                empty = 0;
                sink.accept(page, count);
            }
        } finally {
            NativeInterface.releaseCursor(cursor);
        }
    }

    /** Drains a cursor, handing each tuple of `columns` elements to the sink. */
    static void drain(long cursor, int columns, TupleSink sink) {
        TupleReader tuple = new TupleReader();
        drainPages(cursor, (page, count) -> {
            int offset = 0;
            for (int i = 0; i < count; i++) {
                int length = page.getInt(offset);
                sink.accept(tuple.at(page, offset + 4, columns));
                offset += 4 + length;
            }
        });
    }

    /** An open storage with its partitions of the workload table (table 1, partitions 0..). */
    static final class Store {
        final Path root;
        long storage;
        final long[] partitions;

        Store(Path root, int count) throws Exception {
            this.root = root;
            Files.createDirectories(root);
            storage = NativeInterface.createStorage(root.toString());
            partitions = new long[count];
            for (int p = 0; p < count; p++) {
                partitions[p] = IngestBench.createPartition(storage, p);
            }
        }

        void makeDurableAndCompacted() {
            // Handles are cleared as they go, so that close() never releases one twice.
            for (int p = 0; p < partitions.length; p++) {
                NativeInterface.releaseTablePartition(partitions[p]);
                partitions[p] = 0;
            }
            NativeInterface.releaseStorage(storage);
            storage = 0;
            storage = NativeInterface.createStorage(root.toString());
            for (int p = 0; p < partitions.length; p++) {
                partitions[p] = NativeInterface.getTablePartition(storage, 1, p);
                NativeInterface.doFullCompaction(partitions[p]);
            }
        }

        void close() throws Exception {
            for (long p : partitions) {
                if (p != 0) {
                    NativeInterface.releaseTablePartition(p);
                }
            }
            if (storage != 0) {
                NativeInterface.releaseStorage(storage);
            }
            DurableBench.deleteTree(root);
        }
    }

    /** Encoded point-read keys side by side in native memory, as a host holds them. */
    static final class Keys implements AutoCloseable {
        final NativeMemory memory;
        final int[] offsets;

        Keys(long[] keys) {
            byte[][] encoded = new byte[keys.length][];
            offsets = new int[keys.length + 1];
            for (int i = 0; i < keys.length; i++) {
                encoded[i] = new BinaryTuple.Builder().int64(keys[i]).build();
                offsets[i + 1] = offsets[i] + encoded[i].length;
            }
            ByteBuffer all = ByteBuffer.allocate(offsets[keys.length]);
            for (byte[] k : encoded) {
                all.put(k);
            }
            memory = NativeMemory.of(all.array());
        }

        @Override
        public void close() {
            memory.close();
        }
    }

    /** Reads every key at the latest timestamp, all columns decoded; returns sum(c1 + c4.nanos). */
    static long readAll(long partition, Keys keys, NativeMemory out, Workload.Row row) {
        long sum = 0;
        long base = keys.memory.address();
        TupleReader tuple = new TupleReader();
        for (int i = 0; i + 1 < keys.offsets.length; i++) {
            NativeInterface.readRow(partition, Long.MAX_VALUE, base + keys.offsets[i],
                    keys.offsets[i + 1] - keys.offsets[i], out.address(), (int) out.size());
            int length = out.getInt(0);
            if (length == 0) {
                throw new IllegalStateException("key " + i + " not found");
            }
            ByteBuffer bytes = ByteBuffer.wrap(out.getBytes(4, length)).order(ByteOrder.LITTLE_ENDIAN);
            tuple.at(bytes, 0, 5).row(row);
            sum += row.c1 + row.c4Nanos;
        }
        return sum;
    }

    static void ingest(long partition, List<NativeMemory> batches) {
        long timestamp = 1;
        for (NativeMemory batch : batches) {
            NativeInterface.processBatch(partition, timestamp++, batch.address());
        }
    }

    static Workload.Ungrouped ungrouped(long partition) {
        long[] calls = {call(COUNT, -1), call(SUM, 1), call(SUM, 0), call(SUM, 2), call(MAX, 3),
                call(MAX, 4)};
        Workload.Ungrouped u = new Workload.Ungrouped();
        int[] rows = {0};
        drain(NativeInterface.createAggregateCursor(partition, Long.MAX_VALUE, null, calls), 6, t -> {
            rows[0]++;
            u.count = t.int64(0);
            u.sumC1 = t.int64(1);
            u.sumK = t.int64(2);
            u.sumC2 = t.float64(3);
            t.bytes16(4, u.maxC3);
            u.maxC4Seconds = t.seconds(5);
            u.maxC4Nanos = t.nanos(5);
        });
        expect("ungrouped result rows", rows[0], 1);
        return u;
    }

    static List<Workload.Group> groupBy(long partition) {
        // Grouped cursors give one column per call: any(c1) brings the group key.
        long[] calls = {call(ANY, 1), call(COUNT, -1), call(SUM, 0), call(AVG, 2), call(MIN, 3),
                call(MAX, 4)};
        List<Workload.Group> groups = new ArrayList<>();
        drain(NativeInterface.createAggregateCursor(partition, Long.MAX_VALUE, new long[] {1L << 1},
                calls), 6, t -> {
                    Workload.Group g = new Workload.Group();
                    g.c1 = (int) t.int64(0);
                    g.count = t.int64(1);
                    g.sumK = t.int64(2);
                    g.avgC2 = t.float64(3);
                    t.bytes16(4, g.minC3);
                    g.maxC4Seconds = t.seconds(5);
                    g.maxC4Nanos = t.nanos(5);
                    groups.add(g);
                });
        groups.sort((a, b) -> Integer.compare(a.c1, b.c1));
        return groups;
    }

    static int run(int n, int lookupCount, int runs, Path dir) throws Exception {
        System.out.printf("info\t%s\tversion\t%s%n", ENGINE, System.getProperty("ombrel.version", "?"));
        System.out.printf("info\t%s\tconfiguration\t%s%n", ENGINE, "JVM " + System.getProperty("java.vm.version")
                + " through the native methods (processBatch, readRow, cursors, aggregate cursors); default "
                + "configuration; one processBatch per batch; partitions of one storage; durable = release, "
                + "reopen, doFullCompaction; rows decoded in Java from the binary tuples");
        System.out.printf("info\t%s\trows\t%d%n", ENGINE, n);
        System.out.printf("info\t%s\tlookups\t%d%n", ENGINE, lookupCount);
        System.out.printf("info\t%s\truns\t%d%n", ENGINE, runs);
        System.out.flush();

        Workload w = new Workload(n);
        List<NativeMemory> ordered = w.batches(null);
        List<NativeMemory> shuffled = w.batches(w.permutation());
        long[] lookups = w.lookups(lookupCount);
        long readsSum = 0;
        for (long k : lookups) {
            readsSum += w.c1[(int) k] + w.c4Nanos[(int) k];
        }
        final long expectedReads = readsSum;
        String expectedDigest = w.digest();
        String expectedUngrouped = w.ungrouped().toString();
        List<Workload.Group> expectedGroups = w.groups();
        long expectedSumC1 = w.ungrouped().sumC1;

        Recorder rec = new Recorder();
        Path base = dir.resolve(ENGINE + "-" + ProcessHandle.current().pid());
        double rows = n;
        try (Keys keys = new Keys(lookups); NativeMemory out = new NativeMemory(256)) {
            for (int run = 0; run < runs; run++) {
                final int r = run;
                for (boolean random : new boolean[] {false, true}) {
                    String order = random ? "random" : "key";
                    Store[] s = {null};
                    rec.attempt("ingest_" + order, List.of(), () -> {
                        s[0] = new Store(base.resolve(order + r), 1);
                        long start = System.nanoTime();
                        ingest(s[0].partitions[0], random ? shuffled : ordered);
                        rec.sample("ingest_" + order, "rate", "rows/s", rows / ((System.nanoTime() - start) / 1e9));
                    });
                    rec.attempt("durable_" + order, List.of("ingest_" + order), () -> {
                        long start = System.nanoTime();
                        s[0].makeDurableAndCompacted();
                        rec.sample("durable_" + order, "time", "s", (System.nanoTime() - start) / 1e9);
                        rec.sample("durable_" + order, "size", "bytes/row", DurableBench.bytesUnder(s[0].root) / rows);
                    });
                    if (random) {
                        long p = s[0] == null ? 0 : s[0].partitions[0];
                        rec.attempt("point_read", List.of("durable_random"), () -> {
                            Workload.Row row = new Workload.Row();
                            long start = System.nanoTime();
                            long sum = readAll(p, keys, out, row);
                            double elapsed = (System.nanoTime() - start) / 1e9;
                            expect("sum of c1 + c4.nanos over the reads", sum, expectedReads);
                            rec.sample("point_read", "rate", "ops/s", lookupCount / elapsed);
                            rec.sample("point_read", "mean", "us", elapsed * 1e6 / lookupCount);
                            rec.check("reads", Long.toString(sum));
                        });
                        rec.attempt("scan", List.of("durable_random"), () -> {
                            Workload.Row row = new Workload.Row();
                            long[] countAndSum = new long[2];
                            long start = System.nanoTime();
                            drain(NativeInterface.createCursor(p, Long.MAX_VALUE, null), 5, t -> {
                                t.row(row);
                                countAndSum[0]++;
                                countAndSum[1] += row.c1;
                            });
                            double elapsed = (System.nanoTime() - start) / 1e9;
                            expect("rows scanned", countAndSum[0], n);
                            expect("sum of c1", countAndSum[1], expectedSumC1);
                            rec.sample("scan", "time", "s", elapsed);
                            rec.sample("scan", "rate", "rows/s", rows / elapsed);
                            rec.check("scan sum(c1)", Long.toString(countAndSum[1]));
                            if (r == 0) {
                                // The digest needs its own pass: its byte loop would dominate a timed scan.
                                Workload.Digest digest = new Workload.Digest();
                                long[] previous = {-1};
                                drain(NativeInterface.createCursor(p, Long.MAX_VALUE, null), 5, t -> {
                                    t.row(row);
                                    if (row.k <= previous[0]) {
                                        throw new IllegalStateException("scan not in key order");
                                    }
                                    previous[0] = row.k;
                                    digest.add(row);
                                });
                                expect("digest", digest.hex(), expectedDigest);
                                rec.check("digest", digest.hex());
                            }
                        });
                        rec.attempt("ungrouped", List.of("durable_random"), () -> {
                            long start = System.nanoTime();
                            Workload.Ungrouped u = ungrouped(p);
                            double elapsed = (System.nanoTime() - start) / 1e9;
                            expect("ungrouped aggregates", u, expectedUngrouped);
                            rec.sample("ungrouped", "time", "s", elapsed);
                            rec.sample("ungrouped", "rate", "rows/s", rows / elapsed);
                            rec.check("ungrouped", u.toString());
                        });
                        rec.attempt("group_by", List.of("durable_random"), () -> {
                            long start = System.nanoTime();
                            List<Workload.Group> groups = groupBy(p);
                            double elapsed = (System.nanoTime() - start) / 1e9;
                            expect("group count", groups.size(), expectedGroups.size());
                            for (int i = 0; i < groups.size(); i++) {
                                expect("group", groups.get(i), expectedGroups.get(i));
                            }
                            rec.sample("group_by", "time", "s", elapsed);
                            rec.sample("group_by", "rate", "rows/s", rows / elapsed);
                            rec.check("groups", Integer.toString(groups.size()));
                            if (!groups.isEmpty()) {
                                rec.check("group c1=" + groups.get(0).c1, groups.get(0).toString());
                            }
                        });
                    }
                    if (s[0] != null) {
                        s[0].close();
                    }
                }
                rec.attempt("ingest_two_threads", List.of(), () -> {
                    Store s = new Store(base.resolve("two" + r), 2);
                    try {
                        Throwable[] errors = new Throwable[2];
                        Thread[] threads = new Thread[2];
                        long start = System.nanoTime();
                        for (int t = 0; t < 2; t++) {
                            final int i = t;
                            threads[t] = new Thread(() -> {
                                try {
                                    ingest(s.partitions[i], ordered);
                                } catch (Throwable e) {
                                    errors[i] = e;
                                }
                            });
                            threads[t].start();
                        }
                        for (Thread t : threads) {
                            t.join();
                        }
                        double elapsed = (System.nanoTime() - start) / 1e9;
                        for (Throwable e : errors) {
                            if (e != null) {
                                throw new IllegalStateException(e.getMessage(), e);
                            }
                        }
                        rec.sample("ingest_two_threads", "rate", "rows/s", 2 * rows / elapsed);
                    } finally {
                        s.close();
                    }
                });
            }
        }
        for (NativeMemory b : ordered) {
            b.close();
        }
        for (NativeMemory b : shuffled) {
            b.close();
        }
        if (Files.exists(base)) {
            DurableBench.deleteTree(base);
        }
        return rec.print();
    }

    /**
     * The encoder and decoder of this harness against the workload's check values: the 2,000,000
     * rows as binary tuples, read back, give the published sum of c1 and digest.
     */
    static int check() {
        Workload w = new Workload(2_000_000);
        Workload.Digest digest = new Workload.Digest();
        Workload.Row row = new Workload.Row();
        TupleReader tuple = new TupleReader();
        long sum = 0;
        for (int k = 0; k < w.n; k++) {
            tuple.at(ByteBuffer.wrap(w.tuple(k)).order(ByteOrder.LITTLE_ENDIAN), 0, 5).row(row);
            digest.add(row);
            sum += row.c1;
        }
        String direct = w.digest();
        System.out.printf("sum(c1) %d, digest of the decoded tuples %s, of the generated rows %s%n", sum,
                digest.hex(), direct);
        boolean ok = sum == 999022938L && digest.hex().equals("a04492676559df7e")
                && direct.equals("a04492676559df7e")
                && Workload.format(0.4785434248123).equals("0.4785434248")
                && Workload.format(1000049.87654321).equals("1000049.877");
        System.out.println(ok ? "workload check values: ok" : "workload check values: MISMATCH");
        return ok ? 0 : 1;
    }

    public static void main(String[] args) throws Exception {
        if (Arrays.asList(args).contains("--check")) {
            System.exit(check());
        }
        int n = 2_000_000;
        int lookups = 1_000_000;
        int runs = 3;
        Path dir = Path.of(System.getProperty("java.io.tmpdir"));
        for (int i = 0; i + 1 < args.length; i += 2) {
            switch (args[i]) {
                case "--rows" -> n = Integer.parseInt(args[i + 1]);
                case "--lookups" -> lookups = Integer.parseInt(args[i + 1]);
                case "--runs" -> runs = Integer.parseInt(args[i + 1]);
                case "--dir" -> dir = Path.of(args[i + 1]);
                default -> throw new IllegalArgumentException("unknown option " + args[i]);
            }
        }
        NativeInterface.load(System.getProperty("ombrel.library"));
        System.exit(run(n, lookups, runs, dir));
    }
}
