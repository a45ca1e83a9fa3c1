package com.kiv.ipod;

/** Lingoes (command sets of the device) for {@link IPodClient#lingoVersion}. */
public enum Lingo {
    GENERAL(0),
    MICROPHONE(1),
    SIMPLE_REMOTE(2),
    DISPLAY_REMOTE(3),
    EXTENDED_INTERFACE(4),
    RF_TRANSMITTER(5),
    USB_HOST(6),
    RF_TUNER(7),
    EQUALIZER(8),
    SPORTS(9),
    DIGITAL_AUDIO(10),
    STORAGE(12),
    IPOD_OUT(13),
    LOCATION(14);

    private final int code;

    Lingo(int code) {
        this.code = code;
    }

    /** The number the library and the daemon use. */
    public int code() {
        return code;
    }

    /** The constant with this number, or null. */
    public static Lingo fromCode(int code) {
        for (Lingo v : values())
            if (v.code == code) return v;
        return null;
    }
}
