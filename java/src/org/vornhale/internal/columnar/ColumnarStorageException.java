package org.vornhale.internal.columnar;

/** A failure inside the native storage engine; the message is the engine's own text. */
public class ColumnarStorageException extends RuntimeException {
    private static final long serialVersionUID = 1L;

    public ColumnarStorageException(String message) {
        super(message);
    }
}
