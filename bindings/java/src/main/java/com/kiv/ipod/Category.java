package com.kiv.ipod;

/** Database categories for browsing ({@link IPodClient#setCategory}, {@link IPodClient#selectDb}). */
public enum Category {
    /** Playlists. */
    PLAYLIST(1),
    /** Artists. */
    ARTIST(2),
    /** Albums. */
    ALBUM(3),
    /** Genres. */
    GENRE(4),
    /** Tracks. */
    TRACK(5),
    /** Composers. */
    COMPOSER(6),
    /** Audiobooks. */
    AUDIOBOOK(7),
    /** Podcasts. */
    PODCAST(8);

    private final int code;

    Category(int code) {
        this.code = code;
    }

    /**
     * The number the library and the daemon use.
     *
     * @return the number
     */
    public int code() {
        return code;
    }

    /**
     * The constant with a number.
     *
     * @param code the number
     * @return the constant, or null for a number without a name
     */
    public static Category fromCode(int code) {
        for (Category v : values())
            if (v.code == code) return v;
        return null;
    }
}
