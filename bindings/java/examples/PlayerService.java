// PlayerService: the lifecycle of an Android service (or activity) that
// shows what the iPod plays, on a desktop JVM. onCreate() connects off the
// main thread with the reconnect option, onDestroy() closes; every listener
// and every future completion runs on the "main" executor, which alone
// touches the service's state, as on Android's main thread.
import com.kiv.ipod.Device;
import com.kiv.ipod.EventType;
import com.kiv.ipod.IPodClient;
import com.kiv.ipod.IPodEvent;
import com.kiv.ipod.IPodListener;
import com.kiv.ipod.ReconnectPolicy;
import com.kiv.ipod.TrackInfo;
import java.time.Duration;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.Executor;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.TimeUnit;

public final class PlayerService {
    private final Executor main;       // Android: getMainExecutor()
    private final Executor background; // Android: an executor of the app's own
    private IPodClient ipod;           // main thread only, like everything below
    private boolean destroyed;
    final CountDownLatch shown = new CountDownLatch(2);

    PlayerService(Executor main, Executor background) {
        this.main = main;
        this.background = background;
    }

    // Android: Service.onCreate() or Activity.onStart(). connect() blocks for
    // the handshake, so it runs on the background executor.
    void onCreate() {
        CompletableFuture.supplyAsync(() -> {
            try {
                return IPodClient.connect(main, Duration.ofSeconds(5), ReconnectPolicy.backoff());
            } catch (Exception e) {
                throw new IllegalStateException(e.getMessage(), e);
            }
        }, background).whenCompleteAsync((client, failure) -> {
            if (failure != null) {
                show("no iPod daemon: " + failure.getCause().getMessage());
            } else if (destroyed) {
                client.close(); // destroyed while connecting
            } else {
                ipod = client;
                ipod.addListener(listener);
                openSession();
            }
        }, main);
    }

    // Android: Service.onDestroy() or Activity.onStop().
    void onDestroy() {
        destroyed = true;
        if (ipod != null) ipod.close(); // stops a reconnection in progress too
        ipod = null;
    }

    private void openSession() {
        ipod.openSessionAsync(0).thenCompose(opened -> ipod.currentTrackInfoAsync())
                .thenAccept(this::show).exceptionally(this::failed);
    }

    private final IPodListener listener = new IPodListener() {
        @Override
        public void onEvent(IPodClient client, IPodEvent event) {
            if (event.type() == EventType.TRACK_INDEX_CHANGED)
                client.currentTrackInfoAsync().thenAccept(PlayerService.this::show).exceptionally(PlayerService.this::failed);
        }

        @Override
        public void onConnectionLost(IPodClient client, List<Device> devices) {
            show("iPod daemon gone; reconnecting");
        }

        @Override
        public void onConnectionRestored(IPodClient client, List<Device> devices, boolean sessionReopened) {
            if (sessionReopened)
                client.currentTrackInfoAsync().thenAccept(PlayerService.this::show).exceptionally(PlayerService.this::failed);
            else
                openSession();
        }
    };

    private void show(TrackInfo t) {
        show("now playing: " + t.title() + " by " + t.artist());
        shown.countDown();
    }

    private void show(String text) {
        System.out.println(text); // Android: update the notification or the views
    }

    private Void failed(Throwable t) {
        show("request failed: " + (t.getCause() != null ? t.getCause() : t).getMessage());
        return null;
    }

    public static void main(String[] args) throws Exception {
        ExecutorService main = Executors.newSingleThreadExecutor(r -> new Thread(r, "main"));
        ExecutorService background = Executors.newSingleThreadExecutor(r -> new Thread(r, "background"));
        PlayerService service = new PlayerService(main, background);
        main.execute(service::onCreate);
        // The first track, then the next one, which the event announces.
        boolean first = waitFor(() -> service.shown.getCount() == 1);
        main.execute(() -> service.ipod.nextTrackAsync());
        boolean ok = first && service.shown.await(10, TimeUnit.SECONDS);
        main.execute(service::onDestroy);
        main.shutdown();
        background.shutdown();
        ok &= main.awaitTermination(10, TimeUnit.SECONDS);
        System.exit(ok ? 0 : 1);
    }

    private static boolean waitFor(java.util.function.BooleanSupplier done) throws InterruptedException {
        for (int i = 0; i < 400; i++) {
            if (done.getAsBoolean()) return true;
            Thread.sleep(25);
        }
        return false;
    }
}
