package com.kiv.ipod;

/** Repeat modes. */
public enum RepeatMode {
    OFF(0),
    ONE(1),
    ALL(2);

    private final int code;

    RepeatMode(int code) {
        this.code = code;
    }

    /** The number the library and the daemon use. */
    public int code() {
        return code;
    }

    /** The constant with this number, or null. */
    public static RepeatMode fromCode(int code) {
        for (RepeatMode v : values())
            if (v.code == code) return v;
        return null;
    }
}
