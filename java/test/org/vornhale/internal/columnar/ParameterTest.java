package org.vornhale.internal.columnar;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

class ParameterTest {
    @BeforeAll
    static void load() {
        NativeLibrary.load();
    }

    private static void assertRefused(String name, String value, String message) {
        ColumnarStorageException e = assertThrows(ColumnarStorageException.class,
                () -> NativeInterface.setParameter(name, value));
        assertEquals(message, e.getMessage(), name + "=" + value);
    }

    @Test
    void acceptsEveryKeyWithAValidValue() {
        String[][] values = {
            {"ENABLE_OROCH_COMPRESSION", "true"},
            {"ENABLE_LZ4_COMPRESSION", "FALSE"},
            {"ENABLE_LZ4_COMPRESSION", " 0"},
            {"ENABLE_LZ4_COMPRESSION", "1"},
            {"MEMTABLE_MAX_ENTRIES", "262144"},
            {"MEMTABLE_BUFFER_CAPACITY", "1048576"},
            {"MEMTABLE_BUFFER_POOL_CAPACITY", "2147483648"},
            {"MERGE_TREE_FANOUT", "8"},
            {"MERGE_TREE_FIRST_LEVEL_SIZE", "262144"},
            {"MERGE_TREE_COLUMN_BLOCK_SIZE_HINT", "8192"},
            {"MERGE_TREE_SEGMENT_KEY_INDEX_GRANULARITY", "512"},
            {"THREAD_POOL_THREAD_COUNT", "12abc"},
        };
        for (String[] kv : values) {
            NativeInterface.setParameter(kv[0], kv[1]);
        }
        NativeInterface.setParameter("MERGE_TREE_FANOUT", "4");
        NativeInterface.setParameter("ENABLE_LZ4_COMPRESSION", "true");
    }

    @Test
    void refusesUnknownKeysAndBadValuesWithExactTexts() {
        assertRefused("merge_tree_fanout", "8",
                "Unexpected name in config parameter:merge_tree_fanout");
        assertRefused("", "8", "Unexpected name in config parameter:");
        assertRefused("ENABLE_LZ4_COMPRESSION", "2", "Invalid value passed as config parameter");
        assertRefused("ENABLE_LZ4_COMPRESSION", "yes", "stoull");
        assertRefused("MEMTABLE_MAX_ENTRIES", "", "stoull");
        assertRefused("MEMTABLE_MAX_ENTRIES", "18446744073709551616", "stoull");
        assertRefused("THREAD_POOL_THREAD_COUNT", "4294967296",
                "Invalid value passed as config parameter. Out of range");
    }

    @Test
    void refusesValuesThatCannotWork() {
        String[] zeroRefused = {"MEMTABLE_BUFFER_CAPACITY", "MERGE_TREE_FIRST_LEVEL_SIZE",
            "MERGE_TREE_SEGMENT_KEY_INDEX_GRANULARITY", "THREAD_POOL_THREAD_COUNT"};
        for (String key : zeroRefused) {
            assertRefused(key, "0", "Invalid value passed as config parameter");
        }
        assertRefused("MERGE_TREE_FANOUT", "1", "Invalid value passed as config parameter");
        assertRefused("MERGE_TREE_FANOUT", "0", "Invalid value passed as config parameter");
    }
}
