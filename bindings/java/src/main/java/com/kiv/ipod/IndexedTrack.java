package com.kiv.ipod;

import java.util.OptionalInt;

/**
 * A track asked for by its index ({@link IPodClient#indexedTrackInfo}).
 *
 * @param uid the track's 8-byte uid, or null
 */
public record IndexedTrack(int index, String title, String artist, String album, byte[] uid,
        OptionalInt lengthMs, int chapterCount, boolean audiobook, boolean podcast) {
    /**
     * The track's 8-byte uid.
     *
     * @return a copy, or null when not known
     */
    public byte[] uid() {
        return uid == null ? null : uid.clone();
    }
}
