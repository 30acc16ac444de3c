package org.vornhale.internal.columnar;

import static org.junit.jupiter.api.Assertions.assertNotEquals;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.io.TempDir;

/** Base of the tests that need a storage: a fresh one in a fresh directory per test. */
abstract class StorageFixture extends NativeTest {
    @TempDir
    Path root;

    long storage;

    @BeforeEach
    void open() {
        storage = NativeInterface.createStorage(root.toString());
        assertNotEquals(0, storage);
    }

    @AfterEach
    void close() {
        NativeInterface.releaseStorage(storage);
    }

    /** Every row of the cursor, page by page, taking a new buffer whenever a page comes back empty. */
    static List<byte[]> drain(long cursor) {
        List<byte[]> rows = new ArrayList<>();
        ByteBuffer page = NativeInterface.cursorGetBuffer(cursor).order(ByteOrder.nativeOrder());
        int empty = 0;
        while (NativeInterface.cursorHasNextPage(cursor) && empty < 2) {
            int count = NativeInterface.cursorGatherTuples(cursor);
            empty = count == 0 ? empty + 1 : 0;
            if (count == 0) {
                page = NativeInterface.cursorGetBuffer(cursor).order(ByteOrder.nativeOrder());
            }
            int offset = 0;
            for (int i = 0; i < count; i++) {
                byte[] row = new byte[page.getInt(offset)];
                page.get(offset + 4, row);
                rows.add(row);
                offset += 4 + row.length;
            }
        }
        return rows;
    }

    /** The cursor's output schema, as a buffer of its own. */
    static byte[] outputSchema(long cursor) {
        ByteBuffer schema = NativeInterface.cursorGetOutputSchema(cursor, 0, 0);
        byte[] bytes = new byte[schema.capacity()];
        schema.get(0, bytes);
        return bytes;
    }
}
