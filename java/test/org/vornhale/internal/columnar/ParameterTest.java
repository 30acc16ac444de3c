package org.vornhale.internal.columnar;

import org.junit.jupiter.api.Test;

/** setParameter from the host; every key and value rule is pinned natively by the config tests. */
class ParameterTest extends NativeTest {
    @Test
    void acceptsValidValuesAndRefusesOthersWithExactTexts() {
        NativeInterface.setParameter("MERGE_TREE_FANOUT", "8");
        NativeInterface.setParameter("ENABLE_LZ4_COMPRESSION", " 0");
        NativeInterface.setParameter("THREAD_POOL_THREAD_COUNT", "12abc");
        NativeInterface.setParameter("MERGE_TREE_FANOUT", "4");
        NativeInterface.setParameter("ENABLE_LZ4_COMPRESSION", "true");
        NativeInterface.setParameter("THREAD_POOL_THREAD_COUNT",
                Integer.toString(Runtime.getRuntime().availableProcessors()));
        assertFails("Unexpected name in config parameter:",
                () -> NativeInterface.setParameter("", "8"));
        assertFails("Invalid value passed as config parameter",
                () -> NativeInterface.setParameter("MERGE_TREE_FANOUT", "1"));
        assertFails("stoull", () -> NativeInterface.setParameter("MEMTABLE_MAX_ENTRIES", ""));
        assertFails("Invalid value passed as config parameter. Out of range",
                () -> NativeInterface.setParameter("THREAD_POOL_THREAD_COUNT", "4294967296"));
    }
}
