package cz.qelvar;

import java.util.ArrayDeque;
import java.util.concurrent.Executor;

/**
 * Runs a listener's calls in the order they are made and one at a time, on an
 * executor, or at once on the caller's thread when there is none. An exception
 * from a call goes to the running thread's uncaught-exception handler, and the
 * calls after it still run.
 */
final class InOrder {
    private final Executor executor;
    private final ArrayDeque<Runnable> queue = new ArrayDeque<>();
    private boolean running; // a drain of ours is on the executor; guarded by queue

    InOrder(Executor executor) {
        this.executor = executor;
    }

    void call(Runnable r) {
        Runnable reported = () -> {
            try {
                r.run();
            } catch (RuntimeException | Error e) {
                Thread t = Thread.currentThread();
                t.getUncaughtExceptionHandler().uncaughtException(t, e);
            }
        };
        if (executor == null) {
            reported.run();
            return;
        }
        synchronized (queue) {
            queue.add(reported);
            if (running) return;
            running = true;
        }
        executor.execute(this::drain);
    }

    private void drain() {
        for (;;) {
            Runnable next;
            synchronized (queue) {
                next = queue.poll();
                if (next == null) {
                    running = false;
                    return;
                }
            }
            next.run();
        }
    }
}
