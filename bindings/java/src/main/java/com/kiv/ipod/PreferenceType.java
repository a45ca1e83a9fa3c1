package com.kiv.ipod;

/** Preference types for {@link IPodClient#setPreference} and {@link IPodClient#getPreference}. */
public enum PreferenceType {
    VIDEO_OUT(0),
    SCREEN(1),
    VIDEO_SIGNAL(2),
    LINE_OUT(3),
    VIDEO_CONNECTION(8),
    CLOSED_CAPTIONS(9),
    ASPECT_RATIO(10),
    SUBTITLES(12),
    ALTERNATE_AUDIO(13);

    private final int code;

    PreferenceType(int code) {
        this.code = code;
    }

    /** The number the library and the daemon use. */
    public int code() {
        return code;
    }

    /** The constant with this number, or null. */
    public static PreferenceType fromCode(int code) {
        for (PreferenceType v : values())
            if (v.code == code) return v;
        return null;
    }
}
