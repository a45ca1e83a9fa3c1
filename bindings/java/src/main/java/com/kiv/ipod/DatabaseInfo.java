package com.kiv.ipod;

import java.util.Arrays;

/**
 * A copy of the database information the latest reply to
 * {@link IPodClient#databaseInfo} left in the cache. Immutable: the byte
 * accessors return fresh copies.
 */
public final class DatabaseInfo {
    private final int count;
    private final byte[] lastSyncTime, deviceUid;

    DatabaseInfo(int count, byte[] lastSyncTime, byte[] deviceUid) {
        this.count = count;
        this.lastSyncTime = lastSyncTime != null ? lastSyncTime.clone() : new byte[7];
        this.deviceUid = deviceUid != null ? deviceUid.clone() : new byte[8];
    }

    /**
     * The "count" of the reply.
     *
     * @return the count (0 when the reply carried none)
     */
    public int count() {
        return count;
    }

    /**
     * The last synchronisation time as the daemon sent it.
     *
     * @return 7 bytes, a copy
     */
    public byte[] lastSyncTime() {
        return lastSyncTime.clone();
    }

    /**
     * The device's database uid.
     *
     * @return 8 bytes, a copy
     */
    public byte[] deviceUid() {
        return deviceUid.clone();
    }

    @Override
    public boolean equals(Object o) {
        return o instanceof DatabaseInfo && ((DatabaseInfo) o).count == count
                && Arrays.equals(((DatabaseInfo) o).lastSyncTime, lastSyncTime)
                && Arrays.equals(((DatabaseInfo) o).deviceUid, deviceUid);
    }

    @Override
    public int hashCode() {
        return 31 * (31 * count + Arrays.hashCode(lastSyncTime)) + Arrays.hashCode(deviceUid);
    }

    @Override
    public String toString() {
        return "DatabaseInfo[count=" + count + ", lastSyncTime=" + Arrays.toString(lastSyncTime) + ", deviceUid="
                + Arrays.toString(deviceUid) + "]";
    }
}
