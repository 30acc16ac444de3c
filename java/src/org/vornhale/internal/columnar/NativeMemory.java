package org.vornhale.internal.columnar;

import java.lang.invoke.MethodHandle;
import java.lang.invoke.MethodHandles;
import java.lang.invoke.MethodType;
import java.lang.reflect.Field;
import java.nio.ByteOrder;

/**
 * A block of native memory for rows, keys, schemas and batches passed to the engine by address.
 * Values are written in the machine's byte order. Not thread-safe; free it with close().
 */
public final class NativeMemory implements AutoCloseable {
    private static final Object UNSAFE = loadUnsafe();
    private static final MethodHandle ALLOCATE = method("allocateMemory", long.class, long.class);
    private static final MethodHandle FREE = method("freeMemory", void.class, long.class);
    private static final MethodHandle SET =
            method("setMemory", void.class, long.class, long.class, byte.class);
    private static final MethodHandle PUT_BYTE = method("putByte", void.class, long.class, byte.class);
    private static final MethodHandle PUT_INT = method("putInt", void.class, long.class, int.class);
    private static final MethodHandle PUT_LONG = method("putLong", void.class, long.class, long.class);
    private static final MethodHandle GET_BYTE = method("getByte", byte.class, long.class);
    private static final MethodHandle GET_INT = method("getInt", int.class, long.class);
    private static final MethodHandle GET_LONG = method("getLong", long.class, long.class);
    private static final boolean LITTLE_ENDIAN = ByteOrder.nativeOrder() == ByteOrder.LITTLE_ENDIAN;

    private long address;
    private final long size;

    public NativeMemory(long size) {
        this.size = size;
        try {
            this.address = (long) ALLOCATE.invokeExact(Math.max(size, 1));
            SET.invokeExact(address, Math.max(size, 1), (byte) 0);
        } catch (Throwable e) {
            throw new OutOfMemoryError("cannot allocate " + size + " bytes of native memory");
        }
    }

    /** Copies the bytes into new native memory. */
    public static NativeMemory of(byte[] bytes) {
        NativeMemory memory = new NativeMemory(bytes.length);
        memory.putBytes(0, bytes);
        return memory;
    }

    public long address() {
        check();
        return address;
    }

    public long size() {
        return size;
    }

    public void putByte(long offset, byte value) {
        invoke(PUT_BYTE, at(offset, 1), value);
    }

    public void putInt(long offset, int value) {
        invoke(PUT_INT, at(offset, 4), value);
    }

    public void putLong(long offset, long value) {
        invoke(PUT_LONG, at(offset, 8), value);
    }

    public void putBytes(long offset, byte[] bytes) {
        long base = at(offset, bytes.length);
        for (int i = 0; i < bytes.length; i++) {
            invoke(PUT_BYTE, base + i, bytes[i]);
        }
    }

    public byte getByte(long offset) {
        try {
            return (byte) GET_BYTE.invokeExact(at(offset, 1));
        } catch (Throwable e) {
            throw new IllegalStateException(e);
        }
    }

    public int getInt(long offset) {
        try {
            return (int) GET_INT.invokeExact(at(offset, 4));
        } catch (Throwable e) {
            throw new IllegalStateException(e);
        }
    }

    public long getLong(long offset) {
        try {
            return (long) GET_LONG.invokeExact(at(offset, 8));
        } catch (Throwable e) {
            throw new IllegalStateException(e);
        }
    }

    public byte[] getBytes(long offset, int length) {
        at(offset, length);
        byte[] bytes = new byte[length];
        for (int i = 0; i < length; i++) {
            bytes[i] = getByte(offset + i);
        }
        return bytes;
    }

    public static boolean isLittleEndian() {
        return LITTLE_ENDIAN;
    }

    @Override
    public void close() {
        if (address != 0) {
            try {
                FREE.invokeExact(address);
            } catch (Throwable e) {
                throw new IllegalStateException(e);
            }
            address = 0;
        }
    }

    private long at(long offset, long length) {
        check();
        if (offset < 0 || length < 0 || offset + length > size) {
            throw new IndexOutOfBoundsException(
                    "offset " + offset + " length " + length + " size " + size);
        }
        return address + offset;
    }

    private void check() {
        if (address == 0) {
            throw new IllegalStateException("native memory already freed");
        }
    }

    private static void invoke(MethodHandle put, long address, byte value) {
        try {
            put.invokeExact(address, value);
        } catch (Throwable e) {
            throw new IllegalStateException(e);
        }
    }

    private static void invoke(MethodHandle put, long address, int value) {
        try {
            put.invokeExact(address, value);
        } catch (Throwable e) {
            throw new IllegalStateException(e);
        }
    }

    private static void invoke(MethodHandle put, long address, long value) {
        try {
            put.invokeExact(address, value);
        } catch (Throwable e) {
            throw new IllegalStateException(e);
        }
    }

    // The JDK's unsupported module exports sun.misc.Unsafe; it is reached reflectively so that the
    // helpers compile without proprietary-API warnings.
    private static Object loadUnsafe() {
        try {
            Class<?> type = Class.forName("sun.misc.Unsafe");
            Field field = type.getDeclaredField("theUnsafe");
            field.setAccessible(true);
            return field.get(null);
        } catch (ReflectiveOperationException e) {
            throw new ExceptionInInitializerError(e);
        }
    }

    private static MethodHandle method(String name, Class<?> result, Class<?>... parameters) {
        try {
            return MethodHandles.lookup()
                    .findVirtual(UNSAFE.getClass(), name, MethodType.methodType(result, parameters))
                    .bindTo(UNSAFE);
        } catch (ReflectiveOperationException e) {
            throw new ExceptionInInitializerError(e);
        }
    }
}
