// NowPlaying: what an Android app showing the iPod's library does, on a
// desktop JVM. It connects, opens a session, shows the current track and its
// artwork, browses the albums, then plays and pauses. Listeners run on one
// executor thread, as they would on an app's main thread.
import com.kiv.ipod.Artwork;
import com.kiv.ipod.Category;
import com.kiv.ipod.Device;
import com.kiv.ipod.EventType;
import com.kiv.ipod.IPodClient;
import com.kiv.ipod.IPodEvent;
import com.kiv.ipod.IPodException;
import com.kiv.ipod.IPodListener;
import com.kiv.ipod.Lingo;
import com.kiv.ipod.TrackInfo;
import java.time.Duration;
import java.util.List;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.TimeUnit;

public final class NowPlaying {
    public static void main(String[] args) throws Exception {
        ExecutorService main = Executors.newSingleThreadExecutor(r -> new Thread(r, "main-looper"));
        int status = 1;
        try (IPodClient ipod = IPodClient.connect(main, Duration.ofSeconds(5))) {
            ipod.addListener(new IPodListener() {
                @Override
                public void onEvent(IPodClient client, IPodEvent event) {
                    // Reading the cache from a listener is a blocking call too.
                    if (event.type() == EventType.PLAY_STATE_CHANGED) {
                        try {
                            System.err.println("  (state now " + client.currentTrack().state() + ")");
                        } catch (IPodException e) {
                            System.err.println("  (" + e.getMessage() + ")");
                        }
                    }
                }
            });
            List<Device> devices = ipod.devices();
            if (devices.isEmpty() || !ipod.openSession(0)) throw new IllegalStateException("could not open a session");
            Device d = ipod.devices().get(0);
            System.out.println("device: " + d.name() + " (" + d.serial() + "), extended interface "
                    + ipod.lingoVersion(Lingo.EXTENDED_INTERFACE));
            TrackInfo t = ipod.currentTrackInfo();
            int seconds = t.lengthMs().orElse(0) / 1000;
            System.out.printf("track %d of %d: %s by %s (%d:%02d)%n", t.index().orElse(-1) + 1,
                    t.trackCount().orElse(0), t.title(), t.artist(), seconds / 60, seconds % 60);
            Artwork small = ipod.artwork(64);
            Artwork large = ipod.artwork(256);
            System.out.printf("artwork: %dx%d (%d bytes), %dx%d (%d bytes)%n", small.width(), small.height(),
                    small.pixels().length, large.width(), large.height(), large.pixels().length);
            int albums = ipod.setCategory(Category.ALBUM);
            System.out.println("albums: " + albums + ", first: " + ipod.records(0, 3));
            // The asynchronous form: the future completes on the executor.
            ipod.playAsync().thenAccept(r -> System.out.println("play: " + r)).get(5, TimeUnit.SECONDS);
            System.out.println("state: " + ipod.playState().status());
            try {
                ipod.setPosition(-5);
            } catch (IPodException e) {
                System.out.println("seek refused: " + e.getMessage());
            }
            System.out.println("pause: " + ipod.pause());
            status = 0;
        } finally {
            main.shutdown();
            main.awaitTermination(5, TimeUnit.SECONDS);
        }
        System.exit(status);
    }
}
