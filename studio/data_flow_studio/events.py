"""Fan-out of studio events (run progress, timings, failures, edits) to the open streams."""

import asyncio
import json
import threading


class Events:
    """Publishes JSON events from any thread to every subscribed stream.

    Each subscriber is an asyncio queue on the event loop that serves its stream; `publish`
    hands the event over with `call_soon_threadsafe`, so run threads never touch a loop.
    `close` ends every stream (the server is stopping) and refuses new ones.
    """

    def __init__(self):
        self._lock = threading.Lock()
        self._subscribers = set()
        self._closed = False

    def publish(self, event):
        """Sends the event (a JSON-able dict) to every current subscriber."""
        self._send(json.dumps(event))

    def close(self):
        """Ends every stream; later subscriptions end at once."""
        with self._lock:
            self._closed = True
        self._send(None)

    def _send(self, text):
        with self._lock:
            subscribers = list(self._subscribers)
        for loop, queue in subscribers:
            try:
                loop.call_soon_threadsafe(queue.put_nowait, text)
            except RuntimeError:  # that stream's loop is gone; its generator cleans up
                pass

    async def stream(self, heartbeat=15.0):
        """Server-sent events text for one client, until the client or the server goes."""
        queue = asyncio.Queue()
        entry = (asyncio.get_running_loop(), queue)
        with self._lock:
            if self._closed:
                return
            self._subscribers.add(entry)
        try:
            yield "retry: 1000\n\n"
            while True:
                try:
                    text = await asyncio.wait_for(queue.get(), heartbeat)
                except asyncio.TimeoutError:
                    yield ": still here\n\n"  # lets a dead connection surface
                    continue
                if text is None:
                    return
                yield f"data: {text}\n\n"
        finally:
            with self._lock:
                self._subscribers.discard(entry)
