"""The camera as the page shows it, in headless Chromium through nginx (the packaged snippet) with
robotsim stamping each frame with the time it was made: pictures per second and the frame's age
when the page shows it, at +0/50/150/300 ms round trip; the page's requests per second at rest;
the daemon's CPU and resident memory with 1 and 4 pages open; a viewer that takes one part a
second. Each for this checkout and, with BEFORE_BINARY_DIR and BEFORE_SOURCE_DIR, another build of
the daemon with its own page (say the one before a change).

The round trip is added two ways. Chromium's network emulation (CDP) delays each request until
its response headers come, and nothing after: a reply that goes on (a stream) pays it once. A
proxy between the browser and nginx delays every byte by half the round trip each way, as a
slow link does. Figures are measurements, not assertions. Usage: camera_stream_bench.py."""
import asyncio
import os
import socket
import statistics
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'browser'))
from stack import SOURCE, Stack, chromium, quit_chromium, wait_for  # noqa: E402

RTTS = [int(v) for v in os.environ.get('RTTS', '0 50 150 300').split()]
WINDOW_S = float(os.environ.get('WINDOW_S', '15'))
CPU_WINDOW_S = float(os.environ.get('CPU_WINDOW_S', '30'))
SLOW_S = float(os.environ.get('SLOW_S', '60'))
SLOW_ONLY = os.environ.get('SLOW_ONLY') == '1'
# A link slower than the camera's stream (bytes/s) at +50 ms round trip.
SLOW_LINK = int(os.environ.get('SLOW_LINK', '40000'))

# Runs in the page before its own scripts: each time the camera picture has loaded, the age of the
# frame it shows (now minus the time robotsim wrote into it).
AGES = r"""
window.__ages = [];
const blobs = new Map();
const create = URL.createObjectURL, revoke = URL.revokeObjectURL;
URL.createObjectURL = function (blob) { const url = create.call(URL, blob); blobs.set(url, blob); return url; };
URL.revokeObjectURL = function (url) { blobs.delete(url); return revoke.call(URL, url); };
document.addEventListener('load', (event) => {
  if (!event.target || event.target.id !== 'camera-image') return;
  const shownAt = Date.now();
  const blob = blobs.get(event.target.src);
  if (!blob) return;
  blob.slice(0, 64).arrayBuffer().then((bytes) => {
    const stamp = /robotsim-ms=(\d+)/.exec(new TextDecoder('latin1').decode(bytes));
    if (stamp) window.__ages.push(shownAt - Number(stamp[1]));
  });
}, true);
"""


class DelayProxy:
    """127.0.0.1:<port> to `target`, every byte delayed by `delay_ms` in each direction; with
    `rate` (bytes/s) the way to the browser carries no more, and holds at most 64 KiB (a slow link:
    what does not fit waits in the web server)."""

    def __init__(self, target_port, delay_ms, rate=None):
        self.target_port = target_port
        self.delay = delay_ms / 1000
        self.rate = rate
        self.loop = asyncio.new_event_loop()
        ready = threading.Event()
        self.thread = threading.Thread(target=self._run, args=(ready,), daemon=True)
        self.thread.start()
        ready.wait()

    def _run(self, ready):
        asyncio.set_event_loop(self.loop)
        self.server = self.loop.run_until_complete(asyncio.start_server(self._serve, '127.0.0.1', 0))
        self.port = self.server.sockets[0].getsockname()[1]
        ready.set()
        self.loop.run_forever()

    async def _pipe(self, reader, writer, rate=None):
        queue = asyncio.Queue()
        held = [0]
        room = asyncio.Event()
        room.set()

        async def deliver():
            while True:
                due, data = await queue.get()
                wait = due - self.loop.time()
                if wait > 0:
                    await asyncio.sleep(wait)
                if data is None:
                    writer.close()
                    return
                writer.write(data)
                held[0] -= len(data)
                if held[0] < 65536:
                    room.set()
                await writer.drain()
        sender = self.loop.create_task(deliver())
        free_at = 0.0  # when the link has carried what it was given
        try:
            while True:
                await room.wait()
                data = await reader.read(16384 if rate else 65536)
                now = self.loop.time()
                due = now + self.delay
                if rate and data:
                    free_at = max(free_at, now) + len(data) / rate
                    due = free_at + self.delay
                    held[0] += len(data)
                    if held[0] >= 65536:
                        room.clear()
                queue.put_nowait((due, data or None))
                if not data:
                    break
        except OSError:
            queue.put_nowait((self.loop.time(), None))
        await sender

    async def _serve(self, reader, writer):
        try:
            up_reader, up_writer = await asyncio.open_connection('127.0.0.1', self.target_port)
        except OSError:
            writer.close()
            return
        await asyncio.gather(self._pipe(reader, up_writer), self._pipe(up_reader, writer, self.rate),
                             return_exceptions=True)

    def close(self):
        self.loop.call_soon_threadsafe(self.server.close)
        self.loop.call_soon_threadsafe(self.loop.stop)


def cpu_seconds(pid):
    with open(f'/proc/{pid}/stat') as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


def rss_kb(pid):
    with open(f'/proc/{pid}/status') as f:
        return next(int(line.split()[1]) for line in f if line.startswith('VmRSS'))


_prepared = set()


def open_page(driver, url, rtt_ms=0):
    if driver.current_window_handle not in _prepared:
        _prepared.add(driver.current_window_handle)
        driver.execute_cdp_cmd('Page.addScriptToEvaluateOnNewDocument', {'source': AGES})
        driver.execute_cdp_cmd('Network.enable', {})
    driver.execute_cdp_cmd('Network.emulateNetworkConditions', {
        'offline': False, 'latency': rtt_ms, 'downloadThroughput': -1, 'uploadThroughput': -1})
    driver.get(url)
    if not wait_for(lambda: driver.execute_script('return window.cameraStats && window.cameraStats.firstLiveMs'), 30):
        raise RuntimeError('no live camera picture')


def pictures(driver, url, rtt_ms):
    """Pictures a second and the shown frames' ages (median, 90th percentile) over WINDOW_S."""
    open_page(driver, url, rtt_ms)
    time.sleep(3)
    driver.execute_script('window.__ages = []')
    before = driver.execute_script('return window.cameraStats.pictures')
    time.sleep(WINDOW_S)
    shown = driver.execute_script('return window.cameraStats.pictures') - before
    ages = sorted(driver.execute_script('return window.__ages'))
    driver.execute_cdp_cmd('Network.emulateNetworkConditions', {
        'offline': False, 'latency': 0, 'downloadThroughput': -1, 'uploadThroughput': -1})
    driver.get('about:blank')
    if not ages:
        return shown / WINDOW_S, float('nan'), float('nan')
    return shown / WINDOW_S, statistics.median(ages), ages[int(0.9 * (len(ages) - 1))]


def requests_at_rest(driver, url):
    """Requests a second by command over WINDOW_S (a reply still open is not among them)."""
    open_page(driver, url)
    time.sleep(3)
    driver.execute_script('performance.setResourceTimingBufferSize(100000); performance.clearResourceTimings()')
    time.sleep(WINDOW_S)
    counts = driver.execute_script("""
        const c = {};
        for (const e of performance.getEntriesByType('resource')) {
          const m = decodeURIComponent(e.name).match(/"TYPE":"([^"]+)"/);
          const k = m ? m[1] : e.name; c[k] = (c[k] || 0) + 1; }
        return c;""")
    driver.get('about:blank')
    return {name: n / WINDOW_S for name, n in counts.items()}


def viewers(driver, stack, url, count):
    """The daemon's CPU (% of a core) and resident memory (kB) with `count` pages open."""
    handles = []
    for i in range(count):
        if i:
            driver.switch_to.new_window('window')
        open_page(driver, url)
        handles.append(driver.current_window_handle)
    time.sleep(3)
    pid = stack.daemon_process.pid
    cpu0, t0 = cpu_seconds(pid), time.monotonic()
    time.sleep(CPU_WINDOW_S)
    cpu = 100 * (cpu_seconds(pid) - cpu0) / (time.monotonic() - t0)
    rss = rss_kb(pid)
    for handle in handles[1:]:
        driver.switch_to.window(handle)
        driver.close()
    driver.switch_to.window(handles[0])
    driver.get('about:blank')
    return cpu, rss


STREAM_QUERY = '%7B%22TYPE%22:%22getimage%22,%22stream%22:true%7D'


def http_stream(port):
    """A camera stream through the web server (a 64 KiB receive buffer); returns a reader."""
    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
    sock.connect(('127.0.0.1', port))
    sock.sendall(f'GET /webgated?{STREAM_QUERY} HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n'.encode())
    return lambda: sock.recv(4096)


def fastcgi_stream(path):
    """A camera stream straight from the daemon's socket, as a web server asks for it; returns a
    reader of its STDOUT."""
    def record(kind, content):
        padding = (8 - len(content) % 8) % 8
        return struct.pack('>BBHHBB', 1, kind, 1, len(content), padding, 0) + content + bytes(padding)

    def pair(name, value):
        return bytes([len(name), len(value)]) + name + value
    sock = socket.socket(socket.AF_UNIX)
    sock.connect(path)
    params = pair(b'QUERY_STRING', STREAM_QUERY.encode()) + pair(b'REQUEST_METHOD', b'GET') + pair(b'HTTP_HOST', b'127.0.0.1')
    sock.sendall(record(1, struct.pack('>HB5x', 1, 1)) + record(4, params) + record(4, b'') + record(5, b''))
    pending = b''

    def read():
        nonlocal pending
        while True:
            if len(pending) >= 8:
                _, kind, _, length, padding, _ = struct.unpack('>BBHHBB', pending[:8])
                if len(pending) >= 8 + length + padding:
                    content = pending[8:8 + length]
                    pending = pending[8 + length + padding:]
                    if kind == 6 and content:
                        return content
                    if kind == 3:
                        return b''
                    continue
            chunk = sock.recv(4096)
            if not chunk:
                return b''
            pending += chunk
    return read


def slow_viewer(read, seconds):
    """Takes one part a second from `read` for `seconds`: the ages of the frames it got (ms).
    Straight from the daemon's socket this is what the daemon keeps for a slow peer; through nginx
    over TCP the viewer's own receive buffer, filled as fast as the loopback carries, is a queue
    of its own (a browser on a slow link reads at once; its backlog is the page's lag check)."""
    buffer = b''
    ages = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        # Reads until one whole part is there, then waits a second.
        while True:
            start = buffer.find(b'Content-Length: ')
            if start >= 0:
                head_end = buffer.find(b'\r\n\r\n', start)
                if head_end >= 0:
                    length = int(buffer[start + 16:buffer.index(b'\r\n', start)])
                    if len(buffer) >= head_end + 4 + length:
                        part = buffer[head_end + 4:head_end + 4 + length]
                        buffer = buffer[head_end + 4 + length:]
                        marker = part.find(b'robotsim-ms=')
                        if marker >= 0:
                            stamp = int(part[marker + 12:part.index(b'\xff', marker)])
                            ages.append(time.time() * 1000 - stamp)
                        break
            chunk = read()
            if not chunk:
                return ages
            buffer += chunk
        time.sleep(1)
    return ages


def slow_viewers(stack, out):
    pid = stack.daemon_process.pid
    for how, opened in (('FastCGI', lambda: fastcgi_stream(stack.path('/run/webgated.sock'))),
                        ('nginx', lambda: http_stream(stack.port))):
        read = opened()
        rss0 = rss_kb(pid)
        ages = slow_viewer(read, SLOW_S)
        out['slow', how] = (ages, rss0, rss_kb(pid))
    return out


def measure(name, daemon=None, page=None):
    stack = Stack(daemon=daemon, page=page, robot_args=['--stamp-time']).start()
    driver = chromium()
    out = {'name': name}
    try:
        pid = stack.daemon_process.pid
        time.sleep(2)
        out['rss_idle'] = rss_kb(pid)
        for rtt in [] if SLOW_ONLY else RTTS:
            out[('cdp', rtt)] = pictures(driver, stack.url, rtt)
            proxy = DelayProxy(stack.port, rtt / 2)
            try:
                out[('proxy', rtt)] = pictures(driver, f'http://127.0.0.1:{proxy.port}/', 0)
            finally:
                proxy.close()
        if SLOW_ONLY:
            return slow_viewers(stack, out)
        proxy = DelayProxy(stack.port, 25, SLOW_LINK)
        try:
            out['link'] = pictures(driver, f'http://127.0.0.1:{proxy.port}/', 0)
        finally:
            proxy.close()
        out['rest'] = requests_at_rest(driver, stack.url)
        time.sleep(3)
        out['rss_none'] = rss_kb(pid)
        cpu0, t0 = cpu_seconds(pid), time.monotonic()
        time.sleep(10)
        out['cpu_none'] = 100 * (cpu_seconds(pid) - cpu0) / (time.monotonic() - t0)
        # The pages' cost with the larger frames (640 x 480, about 30 kB each).
        stack.command({'TYPE': 'changeRes', 'res': 'high'})
        out['viewers1'] = viewers(driver, stack, stack.url, 1)
        out['viewers4'] = viewers(driver, stack, stack.url, 4)
        time.sleep(3)
        out['rss_after'] = rss_kb(pid)
        if not daemon:
            slow_viewers(stack, out)
    finally:
        quit_chromium(driver)
        stack.stop()
    return out


def report(result):
    print(f"== {result['name']}")
    if SLOW_ONLY:
        return report_slow(result)
    print('  round trip   added by      pictures/s   frame age when shown: median   90th pct')
    for rtt in RTTS:
        for how in ('cdp', 'proxy'):
            rate, median, p90 = result[(how, rtt)]
            print(f'  +{rtt:3d} ms     {"CDP" if how == "cdp" else "proxy":6}      {rate:6.1f}        '
                  f'{median:7.0f} ms                    {p90:5.0f} ms')
    rate, median, p90 = result['link']
    print(f'  +50 ms, a link of {SLOW_LINK // 1000} kB/s: {rate:.1f} pictures/s, frame age when shown median '
          f'{median:.0f} ms, 90th pct {p90:.0f} ms')
    rest = result['rest']
    camera = sum(n for k, n in rest.items() if k == 'getimage')
    print('  requests/s at rest: ' + ', '.join(f'{k} {n:.1f}' for k, n in sorted(rest.items(), key=lambda kv: -kv[1])))
    print(f'    all {sum(rest.values()):.1f}, besides the camera {sum(rest.values()) - camera:.1f} '
          '(an open stream is not counted)')
    print(f"  daemon CPU: {result['cpu_none']:.1f} % without a page, {result['viewers1'][0]:.1f} % with 1, "
          f"{result['viewers4'][0]:.1f} % with 4 (of one core; 640 x 480 frames)")
    print(f"  daemon RSS: {result['rss_idle']} kB at start, {result['rss_none']} kB without pages after the first, "
          f"{result['viewers1'][1]} kB with 1, {result['viewers4'][1]} kB with 4, {result['rss_after']} kB after")
    report_slow(result)


def report_slow(result):
    for how in ('FastCGI', 'nginx'):
        ages, rss0, rss1 = result.get(('slow', how), ([], 0, 0))
        if ages:
            print(f'  a viewer taking one part a second for {SLOW_S:.0f} s ({how}): {len(ages)} parts, frame age '
                  f'median {statistics.median(ages):.0f} ms, worst {max(ages):.0f} ms; daemon RSS {rss0} -> {rss1} kB')


def main():
    results = []
    before_binary, before_source = os.environ.get('BEFORE_BINARY_DIR'), os.environ.get('BEFORE_SOURCE_DIR')
    if before_binary and before_source:
        results.append(measure('before: ' + before_source,
                               os.path.join(before_binary, 'daemons', 'apps', 'webgated', 'webgated'),
                               os.path.join(before_source, 'web')))
    results.append(measure('after: ' + SOURCE))
    for result in results:
        report(result)


if __name__ == '__main__':
    main()
