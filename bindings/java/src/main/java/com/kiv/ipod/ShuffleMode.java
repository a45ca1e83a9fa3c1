package com.kiv.ipod;

/** Shuffle modes. */
public enum ShuffleMode {
    OFF(0),
    TRACKS(1),
    ALBUMS(2);

    private final int code;

    ShuffleMode(int code) {
        this.code = code;
    }

    /** The number the library and the daemon use. */
    public int code() {
        return code;
    }

    /** The constant with this number, or null. */
    public static ShuffleMode fromCode(int code) {
        for (ShuffleMode v : values())
            if (v.code == code) return v;
        return null;
    }
}
