package org.vornhale.internal.columnar;

/** Column type numbers as the engine knows them. */
public final class ColumnType {
    public static final int BOOL = 1;
    public static final int INT8 = 2;
    public static final int INT16 = 3;
    public static final int INT32 = 4;
    public static final int INT64 = 5;
    public static final int FLOAT = 6;
    public static final int DOUBLE = 7;
    public static final int DECIMAL = 8;
    public static final int DATE = 9;
    public static final int TIME = 10;
    public static final int DATE_TIME = 11;
    public static final int TIMESTAMP = 12;
    public static final int UUID = 13;
    public static final int OPAQUE = 14;
    public static final int STRING = 15;
    public static final int BYTES = 16;
    public static final int PERIOD = 17;
    public static final int DURATION = 18;
    public static final int NUMBER = 19;

    private ColumnType() {}
}
