package com.kiv.ipod;

/** Database hierarchies for {@link IPodClient#setHierarchy(Hierarchy)}, which starts browsing afresh. */
public enum Hierarchy {
    /** Music, audiobooks and podcasts. */
    AUDIO(1),
    /** Videos. */
    VIDEO(2);

    private final int code;

    Hierarchy(int code) {
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
    public static Hierarchy fromCode(int code) {
        for (Hierarchy v : values())
            if (v.code == code) return v;
        return null;
    }
}
