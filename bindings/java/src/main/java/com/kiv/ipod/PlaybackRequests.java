package com.kiv.ipod;

import java.nio.charset.StandardCharsets;
import java.util.List;
import java.util.concurrent.CompletableFuture;

/** The playback, play-state and artwork requests of {@link IPodClient}. */
abstract class PlaybackRequests extends RequestBase {
    PlaybackRequests(ClientCore core) {
        super(core);
    }

    // -------------------------------------------------------- playback

    /**
     * Starts playing.
     *
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public int play() throws IPodException {
        return blocking("play", op(Native.REQ_PLAY, 0, 0), STANDARD);
    }

    /**
     * The asynchronous form of {@link #play()}.
     *
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<Integer> playAsync() {
        return async("play", op(Native.REQ_PLAY, 0, 0), STANDARD);
    }

    /**
     * Pauses playback.
     *
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public int pause() throws IPodException {
        return blocking("pause", op(Native.REQ_PAUSE, 0, 0), STANDARD);
    }

    /**
     * The asynchronous form of {@link #pause()}.
     *
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<Integer> pauseAsync() {
        return async("pause", op(Native.REQ_PAUSE, 0, 0), STANDARD);
    }

    /**
     * Stops playback.
     *
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public int stop() throws IPodException {
        return blocking("stop", op(Native.REQ_STOP, 0, 0), STANDARD);
    }

    /**
     * The asynchronous form of {@link #stop()}.
     *
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<Integer> stopAsync() {
        return async("stop", op(Native.REQ_STOP, 0, 0), STANDARD);
    }

    /**
     * Skips to the next track.
     *
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public int nextTrack() throws IPodException {
        return blocking("next_track", op(Native.REQ_NEXT, 0, 0), STANDARD);
    }

    /**
     * The asynchronous form of {@link #nextTrack()}.
     *
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<Integer> nextTrackAsync() {
        return async("next_track", op(Native.REQ_NEXT, 0, 0), STANDARD);
    }

    /**
     * Goes back to the previous track.
     *
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public int previousTrack() throws IPodException {
        return blocking("prev_track", op(Native.REQ_PREV, 0, 0), STANDARD);
    }

    /**
     * The asynchronous form of {@link #previousTrack()}.
     *
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<Integer> previousTrackAsync() {
        return async("prev_track", op(Native.REQ_PREV, 0, 0), STANDARD);
    }

    /**
     * Starts seeking forward.
     *
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public int startFastForward() throws IPodException {
        return blocking("start_ffw", op(Native.REQ_FFW, 0, 0), STANDARD);
    }

    /**
     * The asynchronous form of {@link #startFastForward()}.
     *
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<Integer> startFastForwardAsync() {
        return async("start_ffw", op(Native.REQ_FFW, 0, 0), STANDARD);
    }

    /**
     * Starts seeking backward.
     *
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public int startRewind() throws IPodException {
        return blocking("start_rew", op(Native.REQ_REW, 0, 0), STANDARD);
    }

    /**
     * The asynchronous form of {@link #startRewind()}.
     *
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<Integer> startRewindAsync() {
        return async("start_rew", op(Native.REQ_REW, 0, 0), STANDARD);
    }

    /**
     * Ends fast forward or rewind.
     *
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public int stopSeeking() throws IPodException {
        return blocking("stop_ffwrew", op(Native.REQ_STOP_SEEK, 0, 0), STANDARD);
    }

    /**
     * The asynchronous form of {@link #stopSeeking()}.
     *
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<Integer> stopSeekingAsync() {
        return async("stop_ffwrew", op(Native.REQ_STOP_SEEK, 0, 0), STANDARD);
    }

    /**
     * Moves the play position to {@code positionMs} milliseconds.
     *
     * @param positionMs the position in milliseconds
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public int setPosition(int positionMs) throws IPodException {
        return blocking("set_position", op(Native.REQ_SET_POSITION, positionMs, 0), STANDARD);
    }

    /**
     * The asynchronous form of {@link #setPosition(int)}.
     *
     * @param positionMs the position in milliseconds
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<Integer> setPositionAsync(int positionMs) {
        return async("set_position", op(Native.REQ_SET_POSITION, positionMs, 0), STANDARD);
    }

    /**
     * Plays the track at {@code index} of the playback list.
     *
     * @param index the index
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public int playTrack(int index) throws IPodException {
        return blocking("set_current_playing_track", op(Native.REQ_PLAY_TRACK, index, 0), STANDARD);
    }

    /**
     * The asynchronous form of {@link #playTrack(int)}.
     *
     * @param index the index
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<Integer> playTrackAsync(int index) {
        return async("set_current_playing_track", op(Native.REQ_PLAY_TRACK, index, 0), STANDARD);
    }

    // -------------------------------------------------------- track and play state

    private CompletableFuture<TrackInfo> trackInfoRequest(boolean async) {
        return core.request("current_track_info", kind(Native.REQ_TRACK_INFO), op(Native.REQ_TRACK_INFO, 0, 0), (b, r) -> {
            if (r < 0) throw noReply("track information");
            return readTrack(b);
        }, async);
    }

    /**
     * Asks the daemon for the current track; also fills the cache.
     *
     * @return a copy of the current-track cache as the reply left it
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public TrackInfo currentTrackInfo() throws IPodException {
        return core.await(trackInfoRequest(false));
    }

    /**
     * The asynchronous form of {@link #currentTrackInfo()}.
     *
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<TrackInfo> currentTrackInfoAsync() {
        return trackInfoRequest(true);
    }

    private CompletableFuture<PlayStatus> playStateRequest(boolean async) {
        return core.request("get_play_state", kind(Native.REQ_PLAY_STATE), op(Native.REQ_PLAY_STATE, 0, 0), (b, r) -> {
            if (r < 0) throw noReply("play status");
            return new PlayStatus(WirePlayStatus.fromCode(r), r, Native.number(b, Native.N_LENGTH, 0),
                    Native.number(b, Native.N_POSITION, 0));
        }, async);
    }

    /**
     * Asks the daemon for the play status, the track length and the position.
     *
     * @return the play status, the length and the position
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public PlayStatus playState() throws IPodException {
        return core.await(playStateRequest(false));
    }

    /**
     * The asynchronous form of {@link #playState()}.
     *
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<PlayStatus> playStateAsync() {
        return playStateRequest(true);
    }

    /**
     * Asks the daemon for the index of the current track.
     *
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public int currentTrackIndex() throws IPodException {
        return blocking("get_current_track_index", op(Native.REQ_TRACK_INDEX, 0, 0), STANDARD);
    }

    /**
     * The asynchronous form of {@link #currentTrackIndex()}.
     *
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<Integer> currentTrackIndexAsync() {
        return async("get_current_track_index", op(Native.REQ_TRACK_INDEX, 0, 0), STANDARD);
    }

    private static <E> Decoder<E> mode(java.util.function.IntFunction<E> from, String what) {
        return (b, r) -> {
            E mode = from.apply(r);
            if (mode == null) throw new IPodException("unknown " + what + " mode " + r, IPodException.Kind.NONE);
            return mode;
        };
    }

    /**
     * Sets the shuffle mode.
     *
     * @param mode the mode
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public int setShuffle(ShuffleMode mode) throws IPodException {
        return blocking("set_shuffle", op(Native.REQ_SET_SHUFFLE, mode.code(), 0), STANDARD);
    }

    /**
     * The asynchronous form of {@link #setShuffle(ShuffleMode)}.
     *
     * @param mode the mode
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<Integer> setShuffleAsync(ShuffleMode mode) {
        return async("set_shuffle", op(Native.REQ_SET_SHUFFLE, mode.code(), 0), STANDARD);
    }

    /**
     * Asks the daemon for the shuffle mode.
     *
     * @return the mode
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public ShuffleMode shuffle() throws IPodException {
        return blocking("get_shuffle", op(Native.REQ_GET_SHUFFLE, 0, 0), mode(ShuffleMode::fromCode, "shuffle"));
    }

    /**
     * The asynchronous form of {@link #shuffle()}.
     *
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<ShuffleMode> shuffleAsync() {
        return async("get_shuffle", op(Native.REQ_GET_SHUFFLE, 0, 0), mode(ShuffleMode::fromCode, "shuffle"));
    }

    /**
     * Sets the repeat mode.
     *
     * @param mode the mode
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public int setRepeat(RepeatMode mode) throws IPodException {
        return blocking("set_repeat", op(Native.REQ_SET_REPEAT, mode.code(), 0), STANDARD);
    }

    /**
     * The asynchronous form of {@link #setRepeat(RepeatMode)}.
     *
     * @param mode the mode
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<Integer> setRepeatAsync(RepeatMode mode) {
        return async("set_repeat", op(Native.REQ_SET_REPEAT, mode.code(), 0), STANDARD);
    }

    /**
     * Asks the daemon for the repeat mode.
     *
     * @return the mode
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public RepeatMode repeat() throws IPodException {
        return blocking("get_repeat", op(Native.REQ_GET_REPEAT, 0, 0), mode(RepeatMode::fromCode, "repeat"));
    }

    /**
     * The asynchronous form of {@link #repeat()}.
     *
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<RepeatMode> repeatAsync() {
        return async("get_repeat", op(Native.REQ_GET_REPEAT, 0, 0), mode(RepeatMode::fromCode, "repeat"));
    }

    // -------------------------------------------------------- artwork

    private CompletableFuture<Artwork> artworkRequest(int size, boolean async) {
        return core.request("current_track_artwork", kind(Native.REQ_ARTWORK), op(Native.REQ_ARTWORK, size, 0), (b, r) -> {
            if (r != 1) throw noReply("artwork");
            return readArtwork(b);
        }, async);
    }

    /**
     * Asks for the current track's artwork, {@code size} pixels on its longer edge (0: the daemon's default).
     * Large images travel through the daemon's shared file; either way the pixels are copied. /
     *
     * @param size the longer edge in pixels (0: the daemon's default)
     * @return a copy of the artwork
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public Artwork artwork(int size) throws IPodException {
        return core.await(artworkRequest(size, false));
    }

    /**
     * The asynchronous form of {@link #artwork(int)}.
     *
     * @param size the longer edge in pixels (0: the daemon's default)
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<Artwork> artworkAsync(int size) {
        return artworkRequest(size, true);
    }

    private static final Decoder<Integer> SAMPLE_RATE = (b, r) -> {
        if (r <= 0) throw noReply("sample rate");
        return r;
    };

    /**
     * Asks the daemon for the sample rate of the current track; the reply also fills the cache ({@link
     * TrackInfo#sampleRate()}).
     *
     * @return the sample rate in Hz
     * @throws IPodException when the request fails or the reply carries no rate /
     */
    public int sampleRate() throws IPodException {
        return core.await(send("get_sample_rate", Native.REQ_SAMPLE_RATE, 0, 0, 0, SAMPLE_RATE, false));
    }

    /**
     * The asynchronous form of {@link #sampleRate()}.
     *
     * @return the future of the sample rate /
     */
    public CompletableFuture<Integer> sampleRateAsync() {
        return send("get_sample_rate", Native.REQ_SAMPLE_RATE, 0, 0, 0, SAMPLE_RATE, true);
    }

    /**
     * Plays chapter {@code index} of the current track.
     *
     * @param index the chapter's index
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails /
     */
    public int playChapter(int index) throws IPodException {
        return core.await(send("set_current_playing_track_chapter", Native.REQ_PLAY_CHAPTER, index, 0, 0, STANDARD, false));
    }

    /**
     * The asynchronous form of {@link #playChapter(int)}.
     *
     * @param index the chapter's index
     * @return the future of the daemon's integer /
     */
    public CompletableFuture<Integer> playChapterAsync(int index) {
        return send("set_current_playing_track_chapter", Native.REQ_PLAY_CHAPTER, index, 0, 0, STANDARD, true);
    }

    /**
     * Asks the daemon for the device's mode.
     *
     * @return the daemon's integer
     * @throws IPodException when the request fails /
     */
    public int mode() throws IPodException {
        return core.await(send("get_mode", Native.REQ_GET_MODE, 0, 0, 0, STANDARD, false));
    }

    /**
     * The asynchronous form of {@link #mode()}.
     *
     * @return the future of the daemon's integer /
     */
    public CompletableFuture<Integer> modeAsync() {
        return send("get_mode", Native.REQ_GET_MODE, 0, 0, 0, STANDARD, true);
    }
}
