package com.kiv.ipod;

/**
 * A copy of one entry of the device list.
 *
 * @param index its index, for {@link IPodClient#openSession}
 * @param softwareVersion the device's "version" text, or null
 */
public record Device(int index, String serial, String name, String softwareVersion, int productId, int type,
        int audioCount, boolean supportsItunesDb, boolean ready, boolean extended, boolean authenticated) {}
