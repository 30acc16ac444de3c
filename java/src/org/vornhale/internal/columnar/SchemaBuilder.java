package org.vornhale.internal.columnar;

import java.io.ByteArrayOutputStream;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;

/**
 * Writes a table schema in the engine's serialised form: version, column count, then per column
 * type, key position (-1 outside the key), name, nullable flag and three host attributes.
 */
public final class SchemaBuilder {
    /** Key position of a column outside the primary key. */
    public static final int NO_KEY = -1;

    private record Column(String name, int type, int keyPosition, boolean nullable) {}

    private final int version;
    private final List<Column> columns = new ArrayList<>();

    public SchemaBuilder(int version) {
        this.version = version;
    }

    public SchemaBuilder key(String name, int type, int keyPosition) {
        columns.add(new Column(name, type, keyPosition, false));
        return this;
    }

    public SchemaBuilder column(String name, int type, boolean nullable) {
        columns.add(new Column(name, type, NO_KEY, nullable));
        return this;
    }

    /** A column with every attribute given, for tests of bad schemas. */
    public SchemaBuilder raw(String name, int type, int keyPosition, boolean nullable) {
        columns.add(new Column(name, type, keyPosition, nullable));
        return this;
    }

    public byte[] build() {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        writeInt(out, version);
        writeInt(out, columns.size());
        for (Column c : columns) {
            byte[] name = c.name().getBytes(StandardCharsets.UTF_8);
            writeInt(out, c.type());
            writeInt(out, c.keyPosition());
            writeInt(out, name.length);
            out.writeBytes(name);
            out.write(c.nullable() ? 1 : 0);
            out.writeBytes(new byte[8]);
        }
        return out.toByteArray();
    }

    private static void writeInt(ByteArrayOutputStream out, int value) {
        out.writeBytes(ByteBuffer.allocate(4).order(ByteOrder.LITTLE_ENDIAN).putInt(value).array());
    }
}
