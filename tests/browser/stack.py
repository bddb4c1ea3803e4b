"""The demo's stack for browser tests: robotsim, the daemon behind spawn-fcgi and nginx with the
packaged snippet (or lighttpd with the packaged example), laid out by the same scripts as
tools/run-demo.sh, on free ports; plus headless Chromium, a probe that reads the simulated robot's
odometry over its RPC wire protocol, and other web sites the operator's browser may meet."""
import http.client
import http.server
import json
import mimetypes
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import urllib.parse

SOURCE = os.environ.get('WEBGATED_SOURCE_DIR') or os.path.abspath(
    os.path.join(os.path.dirname(__file__), '..', '..'))
BINARY = os.environ.get('WEBGATED_BINARY_DIR') or os.path.join(SOURCE, 'build')
SCRIPTS = os.path.join(SOURCE, 'tools', 'scripts')


def wait_for(condition, timeout=10.0, interval=0.05):
    """Polls `condition` until it returns something true or the deadline passes; returns it."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(interval)


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


class Stack:
    """Everything the page talks to; stop() ends what start() began, in reverse order."""

    def __init__(self, extra_config='', server='nginx', daemon=None, page=None, robot_args=()):
        """`daemon` and `page`: another build's program and web page folder (a benchmark's
        before); `robot_args`: more arguments of robotsim."""
        self.extra_config = extra_config
        self.server = server
        self.daemon = daemon or os.path.join(BINARY, 'daemons', 'apps', 'webgated', 'webgated')
        self.page = page
        self.robot_args = list(robot_args)
        self.root = tempfile.mkdtemp(prefix='webgated-browser-')
        self.port = free_port()
        self.robot_port = free_port()
        self.processes = []

    @property
    def url(self):
        return f'http://127.0.0.1:{self.port}/'

    def path(self, robot_path):
        return self.root + robot_path

    def read(self, robot_path):
        try:
            with open(self.path(robot_path), encoding='utf-8', errors='replace') as f:
                return f.read()
        except FileNotFoundError:
            return ''

    def _start(self, args, log, **kwargs):
        out = open(self.path('/run/' + log), 'ab')
        process = subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT, **kwargs)
        out.close()
        self.processes.append(process)
        return process

    def start(self):
        robot = f'127.0.0.1:{self.robot_port}'
        subprocess.run([os.path.join(SCRIPTS, 'prepare-sandbox.sh'), self.root, robot, 'demo'], check=True)
        if self.extra_config:
            with open(self.path('/etc/corvanta/webgated.conf'), 'a') as f:
                f.write('\n' + self.extra_config)
        if self.page:
            shutil.rmtree(self.path('/usr/share/webgated/www'))
            shutil.copytree(self.page, self.path('/usr/share/webgated/www'))
        self.start_robot()
        socket_path = self.path('/run/webgated.sock')
        env = dict(os.environ, WEBGATED_ROOT=self.root)
        # The working directory is the checkout, where ./resources/nocam.png lives.
        self.daemon_process = self._start(['spawn-fcgi', '-n', '-s', socket_path, '-M', '0666', '-d', SOURCE, '--',
                                           self.daemon], 'webgated.out', env=env)
        # The packaged snippet (example), only the robot's paths moved into the sandbox.
        prefix = self.path('/run/' + self.server)
        os.makedirs(prefix, exist_ok=True)
        os.makedirs(self.path('/var/www/html'), exist_ok=True)
        conf = subprocess.run([os.path.join(SCRIPTS, self.server + '-conf.sh'), prefix, str(self.port), socket_path,
                               self.path('/usr/share/webgated/www'), self.path('/var/www')],
                              check=True, capture_output=True, text=True).stdout
        with open(prefix + '/' + self.server + '.conf', 'w') as f:
            f.write(conf)
        if self.server == 'nginx':
            self._start(['nginx', '-p', prefix, '-c', prefix + '/nginx.conf'], 'nginx/out')
        else:
            self._start(['lighttpd', '-D', '-f', prefix + '/lighttpd.conf'], 'lighttpd/out')
        if not wait_for(self._answers, 20):
            raise RuntimeError(f'the daemon did not answer through {self.server}:\n' + self.read('/run/webgated.out'))
        return self

    def start_robot(self):
        self.robotsim = self._start([os.path.join(BINARY, 'tools', 'robotsim', 'robotsim'), '--listen',
                                     f'127.0.0.1:{self.robot_port}', *self.robot_args], 'robotsim.out')

    def stop_robot(self):
        """Ends the simulated robot, as a robot that was switched off or lost its cable."""
        self.robotsim.kill()
        self.robotsim.wait()
        self.processes.remove(self.robotsim)

    def _answers(self):
        import urllib.request
        try:
            with urllib.request.urlopen(self.url + 'webgated?{"TYPE":"HEARTBEAT"}'.replace('"', '%22'),
                                        timeout=2) as r:
                return b'ACK' in r.read()
        except OSError:
            return False

    def command(self, obj):
        """Sends one command as a script would (no page header) and returns its JSON reply."""
        import urllib.request
        # The daemon decodes only these four; the values here are plain ASCII.
        query = json.dumps(obj, separators=(',', ':'))
        for plain, escaped in ((' ', '%20'), ('"', '%22'), ('{', '%7B'), ('}', '%7D')):
            query = query.replace(plain, escaped)
        with urllib.request.urlopen(self.url + 'webgated?' + query, timeout=10) as r:
            return json.loads(r.read())

    def log(self):
        return self.read('/var/log/webgated')

    def stop(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        self.processes.clear()
        output = self.read('/run/webgated.out')
        # Programs the daemon started are ended by its shutdown; nothing of the sandbox is kept.
        shutil.rmtree(self.root, ignore_errors=True)
        return output

    def running_programs(self):
        """Pids of processes running the sandbox's stand-in interpreter."""
        interpreter = self.path('/usr/local/bin/flowdesk2_interpreter').encode()
        pids = []
        for entry in os.listdir('/proc'):
            if entry.isdigit():
                try:
                    with open(f'/proc/{entry}/cmdline', 'rb') as f:
                        if interpreter in f.read().split(b'\0'):
                            pids.append(int(entry))
                except OSError:
                    pass
        return pids


class Site:
    """Another web server on a free port of 127.0.0.1: it serves the pages it is given and notes
    every request it gets. With `page_dir` and `robot_port` it is a server in front of the robot set
    up without the packaged snippet: it serves the robot's page files with no header of its own
    and passes the page's commands on to the robot's web server, noting their names."""

    def __init__(self, pages=None, page_dir=None, robot_port=None):
        self.pages = dict(pages or {})
        self.page_dir = page_dir
        self.robot_port = robot_port
        self.requests = []
        self.commands = []
        self.lock = threading.Lock()
        site = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_POST(self):
                self.do_GET()

            def do_GET(self):
                length = int(self.headers.get('Content-Length') or 0)
                body = self.rfile.read(length) if length else b''
                with site.lock:
                    site.requests.append((self.path, body))
                path, _, query = self.path.partition('?')
                if path in site.pages:
                    return self.answer(200, 'text/html', site.pages[path].encode())
                if site.robot_port and path == '/webgated':
                    return self.forward(query)
                if site.page_dir:
                    name = os.path.normpath(os.path.join(site.page_dir, '.' + (path if path != '/' else '/index.html')))
                    if name.startswith(site.page_dir + os.sep) and os.path.isfile(name):
                        with open(name, 'rb') as f:
                            kind = 'text/javascript' if name.endswith('.js') else mimetypes.guess_type(name)[0]
                            return self.answer(200, kind or 'application/octet-stream', f.read())
                self.answer(404, 'text/plain', b'not here')

            def forward(self, query):
                try:
                    kind = json.loads(urllib.parse.unquote(query)).get('TYPE')
                except ValueError:
                    kind = None
                with site.lock:
                    site.commands.append(kind)
                names = ('Host', 'X-Webgated-Page', 'Origin', 'Referer', 'Sec-Fetch-Site', 'Sec-Fetch-Mode',
                         'Sec-Fetch-Dest')
                connection = http.client.HTTPConnection('127.0.0.1', site.robot_port, timeout=10)
                connection.request('GET', self.path, headers={n: self.headers[n] for n in names if self.headers[n]})
                reply = connection.getresponse()
                self.answer(reply.status, reply.getheader('Content-Type') or 'text/plain', reply.read())
                connection.close()

            def answer(self, status, kind, body):
                self.send_response(status)
                self.send_header('Content-Type', kind)
                self.send_header('Content-Length', str(len(body)))
                self.end_headers()
                self.wfile.write(body)

        self.server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def paths(self):
        with self.lock:
            return [path for path, _ in self.requests]

    def sent(self, first=0):
        """The requests it got from the `first` on, path and body, as one text."""
        with self.lock:
            return '\n'.join(path + ' ' + body.decode(errors='replace') for path, body in self.requests[first:])

    def command_names(self):
        with self.lock:
            return list(self.commands)

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def _connect(port):
    try:
        return socket.create_connection(('127.0.0.1', port), timeout=5)
    except OSError:
        return None


class OdometryProbe:
    """A second client of the simulated robot that follows its odometry topic."""

    def __init__(self, port):
        # robotsim may still be starting on a busy machine: the daemon answers before it listens.
        self.sock = wait_for(lambda: _connect(port), 20)
        if not self.sock:
            raise RuntimeError(f'robotsim does not listen on port {port}')
        self.sock.sendall(b'{"op":"enable","topic":"odometry","on":true}\n')
        self.lock = threading.Lock()
        self.latest = None
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        buffer = b''
        self.sock.settimeout(None)
        while True:
            try:
                chunk = self.sock.recv(65536)
            except OSError:
                return
            if not chunk:
                return
            buffer += chunk
            while b'\n' in buffer:
                line, buffer = buffer.split(b'\n', 1)
                try:
                    message = json.loads(line)
                except ValueError:
                    continue
                if message.get('topic') == 'odometry':
                    x, y, phi, vx, vy, omega, sequence = message['args']
                    with self.lock:
                        self.latest = {'x': x, 'y': y, 'phi': phi, 'vx': vx, 'vy': vy,
                                       'omega': omega, 'sequence': sequence}

    def pose(self):
        with self.lock:
            return dict(self.latest) if self.latest else None

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()


def chromium(width=1280, height=1000, extra_args=()):
    """Debian's headless Chromium through its chromedriver, with a fresh profile."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which('chromium') or '/usr/bin/chromium'
    profile = tempfile.mkdtemp(prefix='webgated-chromium-')
    for argument in ('--headless=new', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                     '--disable-background-networking', '--disable-component-update', '--disable-sync',
                     '--disable-dev-shm-usage', f'--user-data-dir={profile}', f'--window-size={width},{height}',
                     *extra_args):
        options.add_argument(argument)
    options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    service = Service(shutil.which('chromedriver') or '/usr/bin/chromedriver')
    driver = webdriver.Chrome(service=service, options=options)
    driver.profile_dir = profile
    # A download lands in the profile, where a test can see it arrive.
    driver.download_dir = os.path.join(profile, 'downloads')
    driver.execute_cdp_cmd('Browser.setDownloadBehavior', {'behavior': 'allow', 'downloadPath': driver.download_dir})
    return driver


def quit_chromium(driver):
    try:
        driver.quit()
    finally:
        shutil.rmtree(driver.profile_dir, ignore_errors=True)


def start_all(stack, chromium_args=()):
    """Starts the stack, then a probe of the robot's odometry and the browser; returns both. What
    started is stopped again when something fails."""
    try:
        stack.start()
        robot = OdometryProbe(stack.robot_port)
        return robot, chromium(extra_args=chromium_args)
    except BaseException:
        stack.stop()
        raise


def end_all(stack, driver, robot):
    """Quits the browser and the probe and stops the stack; fails on what a sanitizer build of the
    daemon reported on its output."""
    try:
        quit_chromium(driver)
        robot.close()
    finally:
        output = stack.stop()
    if 'runtime error' in output or 'Sanitizer' in output:
        raise AssertionError('the daemon reported:\n' + output)
