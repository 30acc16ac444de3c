package org.vornhale.internal.columnar;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.ConcurrentLinkedQueue;
import org.junit.jupiter.api.Test;

/**
 * The storage, partition and row methods as the host calls them: handles, out buffers, errors.
 * What lies below them (registry, start-up scan, versions, drops) is pinned by the native tests.
 */
class StorageTest extends StorageFixture {
    @Test
    void registryGivesEachIdsOnePartitionAndZeroForNone() {
        long first = Table.create(storage, "orders", 7, 1);
        assertNotEquals(0, first);
        assertEquals(0, Table.create(storage, "orders", 7, 1), "duplicate ids");
        long firstOfTable = NativeInterface.getTablePartition(storage, 7, -1);
        assertEquals(first, firstOfTable);
        assertEquals(0, NativeInterface.getTablePartition(storage, 8, -1));
        assertEquals(0, NativeInterface.getTablePartition(storage, 7, 3));
        NativeInterface.releaseTablePartition(first);
        NativeInterface.releaseTablePartition(firstOfTable);
    }

    @Test
    void schemaComesBackUnderTheOutBufferConvention() {
        long partition = Table.create(storage, "t", 1, 1);
        try (NativeMemory out = new NativeMemory(256)) {
            assertNull(NativeInterface.getTableSchema(storage, 1, 1, out.address(), 256));
            assertEquals(Table.SCHEMA.length, out.getLong(0));
            assertArrayEquals(Table.SCHEMA, out.getBytes(8, Table.SCHEMA.length));

            ByteBuffer small = NativeInterface.getTableSchema(storage, 1, 1, out.address(), 10);
            assertEquals(8 + Table.SCHEMA.length, small.capacity());
            byte[] copy = new byte[Table.SCHEMA.length];
            small.get(8, copy);
            assertArrayEquals(Table.SCHEMA, copy);

            out.putLong(0, -1);
            assertNull(NativeInterface.getTableSchema(storage, 9, 9, out.address(), 8));
            assertEquals(0, out.getLong(0), "unknown partition: an 8-byte zero length");
            ByteBuffer unknown = NativeInterface.getTableSchema(storage, 9, 9, out.address(), 7);
            assertEquals(8, unknown.capacity());
            assertEquals(0, unknown.order(ByteOrder.nativeOrder()).getLong(0));
            ByteBuffer negative = NativeInterface.getTableSchema(storage, 9, 9, out.address(), -5);
            assertEquals(8, negative.capacity());
        }
        NativeInterface.releaseTablePartition(partition);
    }

    @Test
    void readRowSeesItsTimestampAndWritesInPlaceOnlyWhenTheResultFits() {
        long p = Table.create(storage, "t", 1, 1);
        Table.upsert(p, 10, 5, "ten", 1.0);
        Table.upsert(p, 20, 5, "five", 0.5);
        Table.remove(p, 30, 5);
        assertNull(Table.read(p, 5, 5), "before the first version");
        assertEquals("ten", Table.readName(p, 15, 5));
        assertNull(Table.read(p, 30, 5), "the removal hides older versions");
        assertNull(Table.read(p, 40, 2), "a key never written");

        byte[] row = Table.row(5, "five", 0.5);
        byte[] key = Table.key(5);
        try (NativeMemory k = NativeMemory.of(key); NativeMemory out = new NativeMemory(64)) {
            assertNull(NativeInterface.readRow(p, 25, k.address(), key.length, out.address(), row.length + 4));
            assertEquals(row.length, out.getInt(0));
            assertArrayEquals(row, out.getBytes(4, row.length));
            ByteBuffer buffer = NativeInterface.readRow(p, 25, k.address(), key.length, out.address(), row.length + 3);
            assertEquals(row.length + 4, buffer.capacity());
        }
        NativeInterface.releaseTablePartition(p);
    }

    @Test
    void batchStopsAtItsFirstBadRecordKeepingTheEarlierOnes() {
        long p = Table.create(storage, "t", 1, 1);
        BatchBuilder batch = new BatchBuilder()
                .upsert(11, 12, Table.row(1, "one", 1))
                .upsert(11, 12, Table.row(2, "two", 2))
                .remove(11, 12, Table.key(1))
                .upsert(11, 12, new byte[] {0})
                .upsert(11, 12, Table.row(3, "three", 3));
        try (NativeMemory memory = batch.toNative()) {
            assertFails("failed to parse tuple: Too short byte buffer",
                    () -> NativeInterface.processBatch(p, 100, memory.address()));
        }
        assertNull(Table.read(p, 100, 1));
        assertEquals("two", Table.readName(p, 100, 2));
        assertNull(Table.read(p, 100, 3), "records after the failure are not applied");
        try (NativeMemory empty = new BatchBuilder().toNative()) {
            empty.putInt(0, -3);
            NativeInterface.processBatch(p, 101, empty.address());
        }
        NativeInterface.releaseTablePartition(p);
    }

    @Test
    void badInputFailsWithClearTextsAndLeavesTheStorageUsable() {
        // Each message is pinned natively; here they cross the boundary whole.
        byte[] truncated = Arrays.copyOf(Table.SCHEMA, Table.SCHEMA.length - 3);
        byte[] nullableKey = new SchemaBuilder(1).raw("id", ColumnType.INT64, 0, true).build();
        for (byte[] schema : new byte[][] {truncated, nullableKey}) {
            try (NativeMemory memory = NativeMemory.of(schema)) {
                assertFails(schema == truncated ? "Truncated schema: aux_c needs 4 bytes, 1 left"
                                : "Nullable column in key segment",
                        () -> NativeInterface.createTablePartition("bad", storage, 3, 1,
                                memory.address(), schema.length));
            }
        }
        assertEquals(0, NativeInterface.getTablePartition(storage, 3, 1), "nothing was registered");

        long p = Table.create(storage, "t", 3, 1);
        assertNotEquals(0, p, "the failed creations left the ids free");
        byte[] nullKey = new BinaryTuple.Builder().nullValue().string("x").float64(1).build();
        byte[] emptyKey = new BinaryTuple.Builder().build();
        try (NativeMemory a = NativeMemory.of(nullKey); NativeMemory k = NativeMemory.of(emptyKey)) {
            assertFails("failed to parse tuple: key element 0 is null",
                    () -> NativeInterface.upsert(p, 1, 1, 1, a.address(), nullKey.length));
            assertFails("failed to parse tuple: Too short byte buffer",
                    () -> NativeInterface.remove(p, 1, 1, 1, k.address(), emptyKey.length));
            assertFails("failed to parse tuple: Too short byte buffer",
                    () -> NativeInterface.readRow(p, 1, k.address(), emptyKey.length, 0, 0));
        }
        Table.upsert(p, 5, 9, "still works", 1);
        assertEquals("still works", Table.readName(p, 5, 9));
        NativeInterface.releaseTablePartition(p);
    }

    @Test
    void aRootTheStartUpScanRefusesFailsCreateStorage() throws Exception {
        NativeInterface.releaseStorage(storage);
        Files.createDirectories(root.resolve("tmp"));
        assertFails("stoi", () -> NativeInterface.createStorage(root.toString()));
        Files.delete(root.resolve("tmp"));
        storage = NativeInterface.createStorage(root.toString());
    }

    /** The tag of the last persisted row: timestamp, then the transaction id's two words. */
    private static long[] lastPersistedRow(long partition) {
        try (NativeMemory out = new NativeMemory(24)) {
            assertNull(NativeInterface.getLastPersistedRow(partition, out.address(), 24));
            return new long[] {out.getLong(0), out.getLong(8), out.getLong(16)};
        }
    }

    @Test
    void rowsOutliveTheStorageAndFullCompactionKeepsWhatTheWatermarkCanSee() throws Exception {
        long partition = Table.create(storage, "t", 1, 1);
        assertArrayEquals(new long[] {0, 0, 0}, lastPersistedRow(partition));
        for (long id = 0; id < 10; id++) {
            Table.upsert(partition, 10, id, "old" + id, id);
            Table.upsert(partition, 20, id, "new" + id, id);
        }
        Table.remove(partition, 30, 7);
        NativeInterface.releaseTablePartition(partition);
        NativeInterface.releaseStorage(storage);

        storage = NativeInterface.createStorage(root.toString());
        partition = NativeInterface.getTablePartition(storage, 1, 1);
        // The close wrote everything: the tag is the removal's, its id as the host passed it.
        assertArrayEquals(new long[] {30, 1, 2}, lastPersistedRow(partition));
        assertEquals("old3", Table.readName(partition, 15, 3));

        NativeInterface.setLowWatermark(storage, 25);
        NativeInterface.doFullCompaction(partition);
        for (long id = 0; id < 10; id++) {
            assertEquals(id == 7 ? null : "new" + id, Table.readName(partition, 40, id));
            assertEquals("new" + id, Table.readName(partition, 25, id), "visible at the watermark");
        }
        NativeInterface.releaseTablePartition(partition);
        try (var files = Files.list(root.resolve("1/1"))) {
            assertEquals(1, files.filter(f -> f.getFileName().toString().startsWith("_layout_"))
                    .count(), "one layout file");
        }
    }

    @Test
    void dropRemovesFilesAndLaterWritesAreIgnored() {
        long p = Table.create(storage, "t", 2, 1);
        Table.upsert(p, 1, 1, "one", 1);
        NativeInterface.dropTablePartition(storage, 2, 1);
        assertFalse(Files.exists(root.resolve("2/1")), "no scan runs: files go at once");
        assertNull(Table.read(p, Long.MAX_VALUE, 1), "a dropped tree reads as empty");
        Table.upsert(p, 2, 2, "ignored", 2);
        assertNull(Table.read(p, Long.MAX_VALUE, 2));
        NativeInterface.releaseTablePartition(p);
        assertEquals(0, NativeInterface.getTablePartition(storage, 2, 1));
        assertNotEquals(0, Table.create(storage, "again", 2, 1), "the ids can be used again");
        NativeInterface.dropTablePartition(storage, 42, 42);  // unknown ids: nothing happens
    }

    @Test
    void concurrentWritersReadersAndDropsLoseNothing() throws Exception {
        int writers = 4;
        int rows = 2000;
        ConcurrentLinkedQueue<Throwable> failures = new ConcurrentLinkedQueue<>();
        long[] partitions = new long[writers];
        for (int w = 0; w < writers; w++) {
            partitions[w] = Table.create(storage, "w" + w, 10, w);
        }
        List<Thread> threads = new ArrayList<>();
        for (int w = 0; w < writers; w++) {
            long p = partitions[w];
            threads.add(new Thread(() -> {
                try {
                    for (int i = 0; i < rows; i++) {
                        Table.upsert(p, i + 1, i, "v" + i, i);
                    }
                } catch (Throwable e) {
                    failures.add(e);
                }
            }));
        }
        for (int r = 0; r < 2; r++) {
            threads.add(new Thread(() -> {
                try {
                    for (int i = 0; i < rows; i++) {
                        long p = NativeInterface.getTablePartition(storage, 10, i % writers);
                        Table.read(p, Long.MAX_VALUE, i);
                        NativeInterface.releaseTablePartition(p);
                        long scratch = Table.create(storage, "s", 11, i);
                        NativeInterface.releaseTablePartition(scratch);
                        NativeInterface.dropTablePartition(storage, 11, i);
                    }
                } catch (Throwable e) {
                    failures.add(e);
                }
            }));
        }
        for (Thread t : threads) {
            t.start();
        }
        for (Thread t : threads) {
            t.join();
        }
        assertTrue(failures.isEmpty(), failures.toString());
        for (int w = 0; w < writers; w++) {
            for (int i = 0; i < rows; i++) {
                assertEquals("v" + i, Table.readName(partitions[w], Long.MAX_VALUE, i));
            }
            NativeInterface.releaseTablePartition(partitions[w]);
        }
    }
}
