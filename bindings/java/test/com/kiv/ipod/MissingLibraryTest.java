package com.kiv.ipod;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertThrows;
import static org.junit.Assert.assertTrue;
import static org.junit.Assert.fail;

import java.time.Duration;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.TimeoutException;
import org.junit.Test;

/**
 * The binding in a JVM whose java.library.path lacks the JNI library (run
 * without a daemon: nothing may get as far as connecting).
 */
public class MissingLibraryTest {
    private static final String FILE = "libkiv-ipod-2-jni.so";
    private static final String SEARCHED = System.getProperty("java.library.path");

    private static void assertNamesLibraryAndPath(String message) {
        assertTrue(message, message.contains(FILE));
        assertTrue(message, message.contains("java.library.path=" + SEARCHED));
    }

    /** connect() fails at once on the calling thread, every time, and leaves no loop thread. */
    @Test
    public void connectFailsAtOnceNamingTheLibraryAndThePath() throws Exception {
        for (int attempt = 0; attempt < 2; attempt++) {
            long start = System.nanoTime();
            UnsatisfiedLinkError e = assertThrows(UnsatisfiedLinkError.class,
                    () -> IPodClient.connect(Runnable::run, Duration.ofSeconds(10)));
            long ms = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
            // At once: well inside the 10 s bound, with room for a loaded machine.
            assertTrue("took " + ms + " ms", ms < 2000);
            assertNamesLibraryAndPath(e.getMessage());
        }
        long loops = Thread.getAllStackTraces().keySet().stream()
                .filter(t -> t.getName().startsWith(ClientCore.THREAD_PREFIX) && t.isAlive()).count();
        assertEquals(0, loops);
    }

    /**
     * What the loop thread meets while connecting fails the connection, even
     * one waited for without a bound, instead of ending the thread unseen.
     */
    @Test
    public void aFailureOnTheLoopThreadEndsTheWaitForTheConnection() throws Exception {
        ClientCore core = new ClientCore(Runnable::run, Long.MAX_VALUE / 2, ReconnectPolicy.off());
        core.start();
        CompletableFuture<Void> waited = CompletableFuture.runAsync(() -> {
            try {
                core.await(core.connected);
                fail("connected without the JNI library");
            } catch (IPodException e) {
                assertNamesLibraryAndPath(e.getMessage());
                Throwable cause = e;
                while (cause.getCause() != null) cause = cause.getCause();
                assertTrue(cause.toString(), cause instanceof UnsatisfiedLinkError);
            }
        });
        try {
            waited.get(5, TimeUnit.SECONDS);
        } catch (TimeoutException e) {
            fail("the wait for the connection did not end");
        } catch (ExecutionException e) {
            if (e.getCause() instanceof Error) throw (Error) e.getCause();
            throw e;
        }
        core.join(1000);
        assertTrue(!core.thread.isAlive());
    }
}
