package org.vornhale.demo;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Path;
import org.vornhale.internal.columnar.BatchBuilder;
import org.vornhale.internal.columnar.BinaryTuple;
import org.vornhale.internal.columnar.ColumnType;
import org.vornhale.internal.columnar.ColumnarStorageException;
import org.vornhale.internal.columnar.NativeInterface;
import org.vornhale.internal.columnar.NativeMemory;
import org.vornhale.internal.columnar.SchemaBuilder;

/**
 * Drives the engine through its native methods the way a database node does: a storage on a
 * local directory, a table of orders keyed by (region, order id), batches of writes at
 * increasing timestamps, point reads as of two timestamps, and removals.
 */
public final class Demo {
    private static final int TABLE_ID = 1;
    private static final int PARTITION_ID = 0;
    private static final int BATCHES = 150;
    private static final int BATCH_SIZE = 1000;
    private static final String[] REGIONS = {"north", "south", "east", "west"};

    // The engine holds its logger weakly: the host keeps it alive.
    private static final ConsoleLogger LOGGER = new ConsoleLogger();

    private Demo() {}

    /** Prints engine warnings and errors on standard output. */
    public static final class ConsoleLogger {
        private void print(String level, String message) {
            System.out.println("  [engine " + level + "] " + message.lines().findFirst().orElse(""));
        }

        public void trace(String message, Object[] args) {}

        public void debug(String message, Object[] args) {}

        public void info(String message, Object[] args) {
            print("INFO", message);
        }

        public void warn(String message, Object[] args) {
            print("WARN", message);
        }

        public void error(String message, Object[] args) {
            print("ERROR", message);
        }
    }

    private static byte[] schema() {
        return new SchemaBuilder(1)
                .key("region", ColumnType.STRING, 0)
                .key("order_id", ColumnType.INT64, 1)
                .column("customer", ColumnType.STRING, false)
                .column("quantity", ColumnType.INT32, false)
                .column("price", ColumnType.DOUBLE, false)
                .column("placed_at", ColumnType.TIMESTAMP, false)
                .column("note", ColumnType.STRING, true)
                .build();
    }

    private static byte[] row(long orderId, int version) {
        BinaryTuple.Builder b = new BinaryTuple.Builder()
                .string(REGIONS[(int) (orderId % REGIONS.length)])
                .int64(orderId)
                .string("customer-" + (orderId * 7919 % 100000))
                .int32((int) (orderId % 50) + version)
                .float64(9.99 + orderId % 1000 / 100.0)
                .timestamp(1_700_000_000L + orderId, (int) (orderId % 1000) * 1000);
        return (version == 0 ? b.nullValue() : b.string("revised " + version)).build();
    }

    private static byte[] key(long orderId) {
        return new BinaryTuple.Builder().string(REGIONS[(int) (orderId % REGIONS.length)])
                .int64(orderId).build();
    }

    /** The visible row's (quantity, note) or null when there is none. */
    private static String describe(long partition, long timestamp, long orderId) {
        byte[] key = key(orderId);
        try (NativeMemory k = NativeMemory.of(key)) {
            ByteBuffer result = NativeInterface.readRow(partition, timestamp, k.address(), key.length, 0, 0)
                    .order(ByteOrder.nativeOrder());
            int length = result.getInt(0);
            if (length == 0) {
                return "no row";
            }
            byte[] row = new byte[length];
            result.get(4, row);
            byte[][] e = BinaryTuple.elements(row, 7);
            return "quantity " + BinaryTuple.int64(e[3]) + ", note "
                    + (e[6] == null ? "null" : "'" + BinaryTuple.string(e[6]) + "'");
        }
    }

    public static void main(String[] args) {
        String library = System.getProperty("ombrel.library");
        Path root = Path.of(args.length > 0 ? args[0] : "ombrel-data").toAbsolutePath();
        NativeInterface.load(library);
        NativeInterface.setLogger(LOGGER, "INFO");
        System.out.println("Loaded " + library);

        long storage = NativeInterface.createStorage(root.toString());
        System.out.println("Storage at " + root);
        long stale = NativeInterface.getTablePartition(storage, TABLE_ID, PARTITION_ID);
        if (stale != 0) {
            // A previous run left its partition: start afresh.
            NativeInterface.releaseTablePartition(stale);
            NativeInterface.dropTablePartition(storage, TABLE_ID, PARTITION_ID);
        }
        byte[] schema = schema();
        long partition;
        try (NativeMemory s = NativeMemory.of(schema)) {
            partition = NativeInterface.createTablePartition("orders", storage, TABLE_ID,
                    PARTITION_ID, s.address(), schema.length);
        }
        System.out.println("Created table 'orders' (region STRING, order_id INT64) key, 5 more columns");

        long start = System.nanoTime();
        long timestamp = 100;
        for (int b = 0; b < BATCHES; b++) {
            BatchBuilder batch = new BatchBuilder();
            for (int i = 0; i < BATCH_SIZE; i++) {
                long orderId = (long) b * BATCH_SIZE + i;
                batch.upsert(orderId, b, row(orderId, 0));
            }
            try (NativeMemory memory = batch.toNative()) {
                NativeInterface.processBatch(partition, timestamp++, memory.address());
            }
        }
        long firstPass = timestamp - 1;
        double seconds = (System.nanoTime() - start) / 1e9;
        System.out.printf("Wrote %d orders in %d batches in %.2f s (%.0f rows/s, timestamps 100..%d)%n",
                (long) BATCHES * BATCH_SIZE, BATCHES, seconds, BATCHES * BATCH_SIZE / seconds, firstPass);

        BatchBuilder revisions = new BatchBuilder();
        for (long orderId = 0; orderId < 5000; orderId += 5) {
            revisions.upsert(orderId, 999, row(orderId, 1));
        }
        long revised = timestamp++;
        try (NativeMemory memory = revisions.toNative()) {
            NativeInterface.processBatch(partition, revised, memory.address());
        }
        System.out.printf("Revised %d orders at timestamp %d%n", revisions.count(), revised);

        BatchBuilder removals = new BatchBuilder();
        for (long orderId = 1; orderId < 5000; orderId += 10) {
            removals.remove(orderId, 1000, key(orderId));
        }
        long removed = timestamp++;
        try (NativeMemory memory = removals.toNative()) {
            NativeInterface.processBatch(partition, removed, memory.address());
        }
        System.out.printf("Removed %d orders at timestamp %d%n", removals.count(), removed);

        for (long orderId : new long[] {0, 1, 5, 2, 149_999}) {
            System.out.printf("  order %6d as of %d: %-32s latest: %s%n", orderId, firstPass,
                    describe(partition, firstPass, orderId), describe(partition, Long.MAX_VALUE, orderId));
        }

        int reads = 200_000;
        start = System.nanoTime();
        int found = 0;
        try (NativeMemory k = new NativeMemory(64); NativeMemory out = new NativeMemory(256)) {
            for (int i = 0; i < reads; i++) {
                byte[] key = key((i * 7_919L) % (BATCHES * BATCH_SIZE));
                k.putBytes(0, key);
                NativeInterface.readRow(partition, Long.MAX_VALUE, k.address(), key.length, out.address(), 256);
                found += out.getInt(0) > 0 ? 1 : 0;
            }
        }
        seconds = (System.nanoTime() - start) / 1e9;
        System.out.printf("Read %d keys (%d visible) in %.2f s (%.0f reads/s)%n", reads, found, seconds,
                reads / seconds);

        try {
            NativeInterface.setParameter("MERGE_TREE_FANOUT", "1");
        } catch (ColumnarStorageException e) {
            System.out.println("A fanout of 1 is refused: " + e.getMessage());
        }
        NativeInterface.releaseTablePartition(partition);
        NativeInterface.releaseStorage(storage);
        NativeInterface.resetLogger();
        System.out.println("Done.");
    }
}
