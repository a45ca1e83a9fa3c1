package com.kiv.ipod;

import java.util.OptionalInt;

/**
 * A copy of the current-track cache. Texts and the uid are null and numbers
 * empty while not known. Lengths and positions count milliseconds.
 *
 * @param uid the track's 8-byte uid, or null
 * @param state the play state in the cache's numbering, or null
 */
public record TrackInfo(String title, String artist, String album, String composer, String genre,
        String chapter, byte[] uid, OptionalInt index, OptionalInt trackCount, OptionalInt chapterIndex,
        int chapterCount, OptionalInt lengthMs, OptionalInt positionMs, TrackState state,
        OptionalInt sampleRate, boolean hasArtwork, boolean hasChapters, boolean audiobook, boolean podcast) {
    /**
     * The track's 8-byte uid.
     *
     * @return a copy, or null when not known
     */
    public byte[] uid() {
        return uid == null ? null : uid.clone();
    }
}
