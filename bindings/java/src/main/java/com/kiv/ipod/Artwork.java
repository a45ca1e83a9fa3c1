package com.kiv.ipod;

/**
 * Artwork of the current track, copied out of the library (whether it came
 * inline or through the daemon's shared file). Pixels are RGB565: one 16-bit
 * little-endian word per pixel; each row takes {@code rowStride} bytes.
 *
 * @param pixels {@code rowStride * height} bytes
 */
public record Artwork(byte[] pixels, int width, int height, int rowStride) {
    /** Bytes per pixel. */
    public static final int BYTES_PER_PIXEL = 2;
    /**
     * The largest image the binding copies (64 MiB): the daemon states the
     * size, so a bound keeps a hostile one from exhausting the Java heap.
     */
    public static final int MAX_BYTES = 64 << 20;
}
