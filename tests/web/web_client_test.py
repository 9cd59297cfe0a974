#!/usr/bin/python3
"""The browser client in headless Chromium, through websockify, against the real server.

Checks the protocol modules inside the browser that runs them, then a conversation with
the console client, then the page against a raw TCP client: names, lines both ways,
hostile text, and reconnection after a restart of the server. Exits 77 (skipped) when a
tool it needs is missing. With HALVEX_SCREENSHOT=FILE it saves the conversation there.
"""
import argparse
import fcntl
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

SKIPPED = 77
SERVER_PORT = 6112
CHAT, USER_CONNECTED, SET_USER_NAME, USER_LIST = 1, 4, 5, 6
WAIT = 15  # seconds for anything the page or a peer should do


def missing_tools():
    missing = [tool for tool in ("chromium", "chromedriver", "websockify") if not shutil.which(tool)]
    try:
        import selenium  # noqa: F401
    except ImportError:
        missing.append("python3-selenium")
    return missing


def body(type_code, text=None):
    data = struct.pack(">H", type_code)
    if text is not None:
        data += struct.pack(">I", len(text)) + text
    return data


def frame(data):
    return struct.pack(">H", len(data)) + data


def wait_until(condition, what, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.05)
    raise AssertionError(f"timed out after {timeout} s waiting for {what}")


class TcpClient:
    """Speaks the framed protocol over a plain TCP connection, keeping all it received."""

    def __init__(self, name):
        self.sock = socket.create_connection(("127.0.0.1", SERVER_PORT), timeout=WAIT)
        self.stream = b""
        self.received = []  # (type, text bytes or None)
        self.send(SET_USER_NAME, name)

    def send(self, type_code, text):
        self.sock.sendall(frame(body(type_code, text)))

    def read_some(self):
        self.sock.settimeout(0.1)
        try:
            chunk = self.sock.recv(65536)
        except socket.timeout:
            return
        if not chunk:
            raise AssertionError("the server closed the TCP client's connection")
        self.stream += chunk
        while len(self.stream) >= 2:
            size = struct.unpack(">H", self.stream[:2])[0]
            if len(self.stream) < 2 + size:
                break
            packet, self.stream = self.stream[2:2 + size], self.stream[2 + size:]
            (type_code,) = struct.unpack(">H", packet[:2])
            text = packet[6:6 + struct.unpack(">I", packet[2:6])[0]] if len(packet) >= 6 else None
            self.received.append((type_code, text))

    def wait_for(self, type_code, test, what):
        def arrived():
            self.read_some()
            return any(t == type_code and test(text) for t, text in self.received)
        wait_until(arrived, what)

    def close(self):
        self.sock.close()


class Processes:
    """The server, websockify and console clients this test starts; all ended at the end."""

    def __init__(self, logs):
        self.logs = logs
        self.running = []

    def start(self, name, command, **options):
        with open(os.path.join(self.logs, name + ".log"), "ab") as log:
            process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, **options)
        self.running.append(process)
        return process

    def log(self, name):
        with open(os.path.join(self.logs, name + ".log"), "rb") as log:
            return log.read().decode(errors="replace")

    def stop(self, process):
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()

    def stop_all(self):
        for process in reversed(self.running):
            self.stop(process)


def start_server(processes, path, log):
    server = processes.start(log, [path], stdin=subprocess.DEVNULL)
    wait_until(lambda: "Listening on port 6112" in processes.log(log) or server.poll() is not None,
               "the server to listen")
    if server.poll() is not None:
        raise AssertionError("the server did not start:\n" + processes.log(log))
    return server


def free_loopback_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def accepts(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


# Runs in the page: the frame cutter fed the stream cut at every pair of positions.
UNIT_SCRIPT = """
const [stream, expected, done] = arguments;
import(new URL('protocol.js', location.href)).then((protocol) => {
  const failures = [];
  const bytes = Uint8Array.from(stream);
  const same = (bodies) => bodies.length === expected.length &&
    bodies.every((b, i) => b.length === expected[i].length && b.every((x, j) => x === expected[i][j]));
  for (let i = 0; i <= bytes.length; ++i) {
    for (let j = i; j <= bytes.length; ++j) {
      const cutter = new protocol.FrameCutter();
      const bodies = [bytes.subarray(0, i), bytes.subarray(i, j), bytes.subarray(j)]
        .flatMap((chunk) => cutter.push(chunk));
      if (!same(bodies)) failures.push(`cut at ${i} and ${j}`);
    }
  }
  done(failures);
}).catch((error) => done([`modules failed: ${error}`]));
"""


def unit_checks(driver):
    packets = [body(CHAT, "é and 日本".encode()), body(CHAT, b""), body(USER_CONNECTED),
               body(USER_LIST, b"ann\nbob\n"), body(CHAT, b"\x00" * 300)]
    stream = b"".join(frame(p) for p in packets)
    failures = driver.execute_async_script(UNIT_SCRIPT, list(stream), [list(p) for p in packets])
    assert not failures, "the frame cutter failed: " + "; ".join(failures[:10])


def start_browser(profile):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--window-size=900,480", f"--user-data-dir={profile}"):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)


class Page:
    def __init__(self, driver):
        from selenium.webdriver.common.by import By
        from selenium.webdriver.support.ui import WebDriverWait
        self.driver = driver
        self.by = By
        self.wait = WebDriverWait(driver, WAIT)

    def find(self, test_id):
        return self.driver.find_element(self.by.CSS_SELECTOR, f'[data-testid="{test_id}"]')

    def texts(self, test_id):
        return self.driver.execute_script(
            "return [...arguments[0].children].map((e) => e.textContent)", self.find(test_id))

    def state(self):
        return self.find("status").get_attribute("data-state")

    def wait_state(self, state):
        self.wait.until(lambda _: self.state() == state, f"status {state}")

    def wait_line(self, text):
        self.wait.until(lambda _: text in self.texts("messages"), f"the line {text!r} in the page")

    def type(self, test_id, text):
        from selenium.webdriver.common.keys import Keys
        self.find(test_id).send_keys(text + Keys.ENTER)


def conversation(processes, page, chat_path, screenshot):
    """The page and the console client chat; each sees the other's lines."""
    bob = processes.start("halvex-chat", [chat_path, "--name", "bob"], stdin=subprocess.PIPE)
    page.wait_line("* bob joined")
    page.type("message-input", "hi bob, this is the browser")
    bob.stdin.write(b"hello ann, I'm in a terminal\n")
    bob.stdin.flush()
    page.wait_line("bob: hello ann, I'm in a terminal")
    wait_until(lambda: "ann: hi bob, this is the browser" in processes.log("halvex-chat"),
               "the page's line in the console client")
    if screenshot:
        page.driver.save_screenshot(screenshot)
        print(f"screenshot saved to {screenshot}")
    bob.stdin.close()
    page.wait_line("* bob left")
    assert bob.wait(timeout=WAIT) == 0, processes.log("halvex-chat")


def against_tcp_client(page):
    tcp = TcpClient(b"bob")
    page.wait_line("* bob joined")
    tcp.wait_for(USER_LIST, lambda names: names.split(b"\n") == [b"ann", b"bob", b""],
                 "ann in a UserList")
    page.type("message-input", "line from the page")
    tcp.wait_for(CHAT, lambda text: text == b"ann: line from the page", "the page's line")
    tcp.send(CHAT, b"bob: line from TCP")
    page.wait_line("bob: line from TCP")

    hostile = b'bob: <img src=x onerror="document.title=\'owned\'"><script>x()</script>\x01\x1b[31m\x7f\xff'
    tcp.send(CHAT, hostile)
    shown = 'bob: <img src=x onerror="document.title=\'owned\'"><script>x()</script>^A^[[31m^?\ufffd'
    page.wait_line(shown)
    tcp.send(SET_USER_NAME, b"<i>bob</i>\x07")
    page.wait_line("* bob is now <i>bob</i>^G")
    page.wait.until(lambda _: "<i>bob</i>^G" in page.texts("users"), "the hostile name listed")
    made = page.driver.execute_script(
        "return document.querySelectorAll('[data-testid=messages] * *, [data-testid=users] * *').length")
    assert made == 0, f"{made} elements made of network text"
    assert page.driver.title == "Halvex chat", page.driver.title
    return tcp


def restart(processes, server, page, server_path):
    processes.stop(server)
    page.wait_state("disconnected")
    server = start_server(processes, server_path, "server-again")
    page.wait_state("connected")
    tcp = TcpClient(b"bob")
    tcp.wait_for(USER_LIST, lambda names: b"ann\n" in names, "the page's name after reconnection")
    page.type("message-input", "back again")
    tcp.wait_for(CHAT, lambda text: text == b"ann: back again", "a line after reconnection")
    tcp.close()
    return server


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--chat", required=True)
    parser.add_argument("--web", required=True)
    args = parser.parse_args()
    missing = missing_tools()
    if missing:
        print("skipped: missing " + ", ".join(missing) +
              " (scripts/ensure-packages chromium chromium-driver python3-selenium websockify)")
        return SKIPPED
    screenshot = os.environ.get("HALVEX_SCREENSHOT")
    if screenshot:
        screenshot = os.path.abspath(screenshot)
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="halvex-web-") as scratch, \
            open("/tmp/halvex-port6112.lock", "a") as lock:
        processes = Processes(scratch)
        # The browser starts before the lock: it takes seconds and touches no port of ours.
        driver = start_browser(os.path.join(scratch, "profile"))
        try:
            driver.set_script_timeout(WAIT)
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                print("waiting for /tmp/halvex-port6112.lock: another program uses port 6112",
                      flush=True)
                fcntl.flock(lock, fcntl.LOCK_EX)
            server = start_server(processes, args.server, "server")
            port = free_loopback_port()
            processes.start("websockify", ["websockify", "--web", args.web, f"127.0.0.1:{port}",
                                           f"127.0.0.1:{SERVER_PORT}"])
            wait_until(lambda: accepts(port), "websockify to listen")
            driver.get(f"http://127.0.0.1:{port}/")
            page = Page(driver)
            unit_checks(driver)
            page.wait_state("connected")
            page.type("name-input", "ann")
            page.wait.until(lambda _: page.texts("users") == ["ann"], "ann listed")
            conversation(processes, page, args.chat, screenshot)
            against_tcp_client(page).close()
            restart(processes, server, page, args.server)
        except Exception:
            for name in ("server", "server-again", "websockify", "halvex-chat"):
                if os.path.exists(os.path.join(scratch, name + ".log")):
                    print(f"--- {name} log (end) ---\n" + processes.log(name)[-3000:])
            raise
        finally:
            driver.quit()
            processes.stop_all()
    print(f"web client: all checks passed in {time.monotonic() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
