package com.kiv.ipod;

import java.nio.charset.StandardCharsets;
import java.util.List;
import java.util.concurrent.CompletableFuture;

/** The database and track-list requests of {@link IPodClient}. */
abstract class DatabaseRequests extends PlaybackRequests {
    DatabaseRequests(ClientCore core) {
        super(core);
    }

    // -------------------------------------------------------- browsing

    private CompletableFuture<Integer> countRequest(String name, int op, int a, int x, boolean async) {
        return core.request(name, kind(op), op(op, a, x), (b, r) -> Native.number(b, Native.N_RECORD_COUNT, 0), async);
    }

    /**
     * Selects a category; the number of its records.
     *
     * @param category the category
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public int setCategory(Category category) throws IPodException {
        return core.await(countRequest("set_category", Native.REQ_SET_CATEGORY, category.code(), 0, false));
    }

    /**
     * The asynchronous form of {@link #setCategory(Category)}.
     *
     * @param category the category
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<Integer> setCategoryAsync(Category category) {
        return countRequest("set_category", Native.REQ_SET_CATEGORY, category.code(), 0, true);
    }

    /**
     * Narrows the database to record {@code index} of {@code category}; the number of tracks left.
     *
     * @param category the category
     * @param index the index
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public int selectDb(Category category, int index) throws IPodException {
        return core.await(countRequest("select_db", Native.REQ_SELECT_DB, category.code(), index, false));
    }

    /**
     * The asynchronous form of {@link #selectDb(Category, int)}.
     *
     * @param category the category
     * @param index the index
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<Integer> selectDbAsync(Category category, int index) {
        return countRequest("select_db", Native.REQ_SELECT_DB, category.code(), index, true);
    }

    /**
     * Sends a hierarchy number (1: back to the whole database).
     *
     * @param value the value, passed to the daemon unchanged
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public int setHierarchy(int value) throws IPodException {
        return blocking("set_hierarchy", op(Native.REQ_SET_HIERARCHY, value, 0), STANDARD);
    }

    /**
     * The asynchronous form of {@link #setHierarchy(int)}.
     *
     * @param value the value, passed to the daemon unchanged
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<Integer> setHierarchyAsync(int value) {
        return async("set_hierarchy", op(Native.REQ_SET_HIERARCHY, value, 0), STANDARD);
    }

    private CompletableFuture<List<String>> recordsRequest(int start, int count, boolean async) {
        long[] before = {0};
        return core.request("get_records", Native.REQ_GET_RECORDS, b -> {
            before[0] = Native.recordsToken(b);
            return Native.request(b, Native.REQ_GET_RECORDS, start, count, 0);
        }, (b, r) -> {
            if (Native.recordsToken(b) == before[0])
                throw new IPodException("the daemon refused the records request", IPodException.Kind.NONE);
            String[] records = Native.records(b);
            if (records == null) return List.of();
            for (int i = 0; i < records.length; i++)
                if (records[i] == null) records[i] = ""; // an entry that is not a text
            return List.of(records);
        }, async);
    }

    /**
     * Up to {@code count} record texts of the selected category from {@code start}.
     *
     * @param start the first record
     * @param count how many records
     * @return the record texts
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public List<String> records(int start, int count) throws IPodException {
        return core.await(recordsRequest(start, count, false));
    }

    /**
     * The asynchronous form of {@link #records(int, int)}.
     *
     * @param start the first record
     * @param count how many records
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<List<String>> recordsAsync(int start, int count) {
        return recordsRequest(start, count, true);
    }

    private CompletableFuture<IndexedTrack> indexedRequest(int index, boolean async) {
        return core.request("indexed_track_info", kind(Native.REQ_INDEXED_TRACK), op(Native.REQ_INDEXED_TRACK, index, 0), (b, r) -> {
            if (r < 0) throw noReply("track information");
            return new IndexedTrack(index, Native.text(b, Native.T_INDEXED_TITLE, 0),
                    Native.text(b, Native.T_INDEXED_ARTIST, 0), Native.text(b, Native.T_INDEXED_ALBUM, 0),
                    Native.bytes(b, Native.B_INDEXED_UID), ClientCore.optional(Native.number(b, Native.N_INDEXED_LENGTH, 0)),
                    Native.number(b, Native.N_INDEXED_CHAPTER_COUNT, 0),
                    Native.number(b, Native.N_INDEXED_AUDIOBOOK, 0) != 0,
                    Native.number(b, Native.N_INDEXED_PODCAST, 0) != 0);
        }, async);
    }

    /**
     * Asks for the track at {@code index} of the database.
     *
     * @param index the index
     * @return a copy of the track's information
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public IndexedTrack indexedTrackInfo(int index) throws IPodException {
        return core.await(indexedRequest(index, false));
    }

    /**
     * The asynchronous form of {@link #indexedTrackInfo(int)}.
     *
     * @param index the index
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<IndexedTrack> indexedTrackInfoAsync(int index) {
        return indexedRequest(index, true);
    }

    private CompletableFuture<String> lingoRequest(Lingo lingo, boolean async) {
        return core.request("request_lingo_version", kind(Native.REQ_LINGO_VERSION), op(Native.REQ_LINGO_VERSION, lingo.code(), 0), (b, r) -> {
            if (r < 0) throw noReply("version");
            return Native.text(b, Native.T_LINGO_VERSION, 0);
        }, async);
    }

    /**
     * The device's version of {@code lingo}, "major.minor".
     *
     * @param lingo the lingo
     * @return the text, or null when not known
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public String lingoVersion(Lingo lingo) throws IPodException {
        return core.await(lingoRequest(lingo, false));
    }

    /**
     * The asynchronous form of {@link #lingoVersion(Lingo)}.
     *
     * @param lingo the lingo
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<String> lingoVersionAsync(Lingo lingo) {
        return lingoRequest(lingo, true);
    }

    /**
     * Starts browsing afresh in one hierarchy of the database.
     *
     * @param hierarchy the audio or the video part
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails /
     */
    public int setHierarchy(Hierarchy hierarchy) throws IPodException {
        return setHierarchy(hierarchy.code());
    }

    /**
     * The asynchronous form of {@link #setHierarchy(Hierarchy)}.
     *
     * @param hierarchy the audio or the video part
     * @return the future of the daemon's integer /
     */
    public CompletableFuture<Integer> setHierarchyAsync(Hierarchy hierarchy) {
        return setHierarchyAsync(hierarchy.code());
    }

    private static final Decoder<Object> CHAPTERS =
            ifOne("chapter information", (b, r) -> Values.of(Native.value(b, Native.V_CHAPTERS)));

    /**
     * Asks for the chapter information of a track.
     *
     * @param track the track's index
     * @param chapter the chapter's index
     * @return the reply's value, copied: Integer, Float, String, byte[], unmodifiable {@code List<Object>} and
     *     {@code Map<String, Object>}
     * @throws IPodException when the request fails or the reply carries no value /
     */
    public Object chapterInfo(int track, int chapter) throws IPodException {
        return core.await(send("indexed_track_chapter_info", Native.REQ_CHAPTER_INFO, track, chapter, 0, CHAPTERS, false));
    }

    /**
     * The asynchronous form of {@link #chapterInfo(int, int)}.
     *
     * @param track the track's index
     * @param chapter the chapter's index
     * @return the future of the reply's value /
     */
    public CompletableFuture<Object> chapterInfoAsync(int track, int chapter) {
        return send("indexed_track_chapter_info", Native.REQ_CHAPTER_INFO, track, chapter, 0, CHAPTERS, true);
    }

    private static final Decoder<DatabaseInfo> DB_INFO = ifOne("database information",
            (b, r) -> new DatabaseInfo(Native.number(b, Native.N_DB_ITUNES_COUNT, 0),
                    Native.bytes(b, Native.B_DB_SYNC_TIME), Native.bytes(b, Native.B_DB_UID)));

    /**
     * Asks for the database information of one type.
     *
     * @param type the information asked for, passed to the daemon unchanged
     * @return a copy of what the reply left in the cache
     * @throws IPodException when the request fails or the reply carries nothing /
     */
    public DatabaseInfo databaseInfo(int type) throws IPodException {
        return core.await(send("get_db_itunes_info", Native.REQ_DB_ITUNES_INFO, type, 0, 0, DB_INFO, false));
    }

    /**
     * The asynchronous form of {@link #databaseInfo(int)}.
     *
     * @param type the information asked for
     * @return the future of the information /
     */
    public CompletableFuture<DatabaseInfo> databaseInfoAsync(int type) {
        return send("get_db_itunes_info", Native.REQ_DB_ITUNES_INFO, type, 0, 0, DB_INFO, true);
    }

    private static Decoder<List<Object>> tracks(int which) {
        return ifOne("track list", (b, r) -> Values.list(Native.value(b, which)));
    }

    /**
     * Asks for information on {@code count} tracks of the database from {@code offset}.
     *
     * @param offset the first track
     * @param count how many
     * @param kind the information asked for, passed to the daemon unchanged
     * @return the list the library keeps, copied: for each track of the reply its cap, title, artist, album,
     *     genre, duration and uid (byte[8]), or its uid alone when the daemon sent less (for the playback
     *     list, what the daemon sent for each track)
     * @throws IPodException when the request fails or the reply carries no list /
     */
    public List<Object> databaseTracks(int offset, int count, int kind) throws IPodException {
        return core.await(send("get_db_track_info", Native.REQ_DB_TRACK_INFO, offset, count, kind,
                tracks(Native.V_DB_TRACKS), false));
    }

    /**
     * The asynchronous form of {@link #databaseTracks(int, int, int)}.
     *
     * @param offset the first track
     * @param count how many
     * @param kind the information asked for
     * @return the future of the list /
     */
    public CompletableFuture<List<Object>> databaseTracksAsync(int offset, int count, int kind) {
        return send("get_db_track_info", Native.REQ_DB_TRACK_INFO, offset, count, kind, tracks(Native.V_DB_TRACKS), true);
    }

    /**
     * Asks for information on {@code count} tracks of the playback list from {@code offset}.
     *
     * @param offset the first track
     * @param count how many
     * @param kind the information asked for, passed to the daemon unchanged
     * @return the list the library keeps, copied: for each track of the reply its cap, title, artist, album,
     *     genre, duration and uid (byte[8]), or its uid alone when the daemon sent less (for the playback
     *     list, what the daemon sent for each track)
     * @throws IPodException when the request fails or the reply carries no list /
     */
    public List<Object> playbackTracks(int offset, int count, int kind) throws IPodException {
        return core.await(send("get_pb_track_info", Native.REQ_PB_TRACK_INFO, offset, count, kind,
                tracks(Native.V_PB_TRACKS), false));
    }

    /**
     * The asynchronous form of {@link #playbackTracks(int, int, int)}.
     *
     * @param offset the first track
     * @param count how many
     * @param kind the information asked for
     * @return the future of the list /
     */
    public CompletableFuture<List<Object>> playbackTracksAsync(int offset, int count, int kind) {
        return send("get_pb_track_info", Native.REQ_PB_TRACK_INFO, offset, count, kind, tracks(Native.V_PB_TRACKS), true);
    }

    private <T> CompletableFuture<T> data(String name, int kind, int op, int a, int x, byte[] data,
            Decoder<T> decoder, boolean async) {
        return core.request(name, kind, b -> Native.requestData(b, op, a, x, data), decoder, async);
    }

    /**
     * Hands over piece {@code current} of {@code max} of a uid list.
     *
     * @param current the piece's number
     * @param max the number of pieces
     * @param piece the piece's bytes, copied
     * @return the library's result, 1
     * @throws IPodException when the request fails /
     */
    public int prepareUidList(int current, int max, byte[] piece) throws IPodException {
        return core.await(prepareUidListAsync(current, max, piece, false));
    }

    /**
     * The asynchronous form of {@link #prepareUidList(int, int, byte[])}.
     *
     * @param current the piece's number
     * @param max the number of pieces
     * @param piece the piece's bytes, copied
     * @return the future of the library's result /
     */
    public CompletableFuture<Integer> prepareUidListAsync(int current, int max, byte[] piece) {
        return prepareUidListAsync(current, max, piece, true);
    }

    private CompletableFuture<Integer> prepareUidListAsync(int current, int max, byte[] piece, boolean async) {
        return data("prepare_uid_list", KIND_UID_LIST, Native.DATA_PREPARE_UID_LIST, current, max, piece.clone(),
                STANDARD, async);
    }

    /**
     * Plays the track with an 8-byte uid.
     *
     * @param uid the track's uid ({@link TrackInfo#uid()})
     * @return the library's result, 1
     * @throws IPodException when the request fails
     * @throws IllegalArgumentException when {@code uid} does not have 8 bytes /
     */
    public int playUidList(byte[] uid) throws IPodException {
        return core.await(data("play_uid_list", KIND_UID_LIST, Native.DATA_PLAY_UID_LIST, 0, 0, uid(uid), STANDARD, false));
    }

    /**
     * The asynchronous form of {@link #playUidList(byte[])}.
     *
     * @param uid the track's uid
     * @return the future of the library's result /
     */
    public CompletableFuture<Integer> playUidListAsync(byte[] uid) {
        return data("play_uid_list", KIND_UID_LIST, Native.DATA_PLAY_UID_LIST, 0, 0, uid(uid), STANDARD, true);
    }

    /**
     * Asks for the artwork data of the track with an 8-byte uid; the reply is not cached ({@link
     * IPodClient#artwork(int)} reads artwork).
     *
     * @param uid the track's uid
     * @return the daemon's integer
     * @throws IPodException when the request fails /
     */
    public int artworkData(byte[] uid) throws IPodException {
        return core.await(data("get_artwork_data", -1, Native.DATA_ARTWORK_DATA, 0, 0, uid(uid), STANDARD, false));
    }

    /**
     * The asynchronous form of {@link #artworkData(byte[])}.
     *
     * @param uid the track's uid
     * @return the future of the daemon's integer /
     */
    public CompletableFuture<Integer> artworkDataAsync(byte[] uid) {
        return data("get_artwork_data", -1, Native.DATA_ARTWORK_DATA, 0, 0, uid(uid), STANDARD, true);
    }

    /**
     * Asks the device to write its tags.
     *
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails /
     */
    public int writeTag() throws IPodException {
        return core.await(send("write_tag", Native.REQ_WRITE_TAG, 0, 0, 0, STANDARD, false));
    }

    /**
     * The asynchronous form of {@link #writeTag()}.
     *
     * @return the future of the daemon's integer /
     */
    public CompletableFuture<Integer> writeTagAsync() {
        return send("write_tag", Native.REQ_WRITE_TAG, 0, 0, 0, STANDARD, true);
    }
}
