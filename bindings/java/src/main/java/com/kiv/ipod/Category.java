package com.kiv.ipod;

/** Database categories for browsing ({@link IPodClient#setCategory}, {@link IPodClient#selectDb}). */
public enum Category {
    PLAYLIST(1),
    ARTIST(2),
    ALBUM(3),
    GENRE(4),
    TRACK(5),
    COMPOSER(6),
    AUDIOBOOK(7),
    PODCAST(8);

    private final int code;

    Category(int code) {
        this.code = code;
    }

    /** The number the library and the daemon use. */
    public int code() {
        return code;
    }

    /** The constant with this number, or null. */
    public static Category fromCode(int code) {
        for (Category v : values())
            if (v.code == code) return v;
        return null;
    }
}
