package org.vornhale.internal.columnar;

/** Loads the engine under test once per JVM; the build passes its path as ombrel.library. */
final class NativeLibrary {
    private static boolean loaded;

    private NativeLibrary() {}

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
}
