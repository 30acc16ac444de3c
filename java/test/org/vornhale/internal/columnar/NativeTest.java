package org.vornhale.internal.columnar;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.function.Executable;

/** Base of the tests that call the engine: loads it once per JVM from the path the build passes as ombrel.library. */
abstract class NativeTest {
    private static boolean loaded;

    @BeforeAll
    static synchronized void load() {
        if (!loaded) {
            String path = System.getProperty("ombrel.library");
            if (path == null) {
                throw new IllegalStateException("system property ombrel.library is not set");
            }
            NativeInterface.load(path);
            loaded = true;
        }
    }

    static void assertFails(String message, Executable call) {
        ColumnarStorageException e = assertThrows(ColumnarStorageException.class, call);
        assertEquals(message, e.getMessage());
    }
}
