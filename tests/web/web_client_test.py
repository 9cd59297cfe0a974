#!/usr/bin/python3
"""The browser client in headless Chromium against the real server, which serves the page.

Straight to the server's web port, it checks the protocol modules inside the browser that
runs them, then a conversation with the console client, then the page against a raw TCP
client: names, lines both ways, a refused name, hostile text and bidirectional overrides,
the page at phone size and its following of new lines, the contrast of everything drawn,
and reconnection after a restart of the server. With --through-nginx CONF it goes instead
through nginx, run with that configuration on a port of its own and a throwaway
certificate: the page over https:// and wss:// chats with the console client, and the
server names the browser by the address nginx forwarded.
Exits 77 (skipped) when a tool it needs is missing. It starts chromedriver itself on a
loopback address and talks to it by that address, so a machine where the name localhost
does not resolve runs it too. With HALVEX_SCREENSHOT=FILE.png it saves the conversation
there, and the page at phone size as FILE-phone.png.
"""
import argparse
import base64
import fcntl
import hashlib
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

SKIPPED = 77
SERVER_PORT = 6112
WEB_PORT = 8080
CHAT, USER_CONNECTED, SET_USER_NAME, USER_LIST = 1, 4, 5, 6
WAIT = 15  # seconds for anything the page or a peer should do


def missing_tools(through_nginx):
    tools = ("chromium", "chromedriver") + (("nginx", "openssl") if through_nginx else ())
    missing = [tool for tool in tools if not shutil.which(tool)]
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
    """The server, nginx and console clients this test starts; all ended at the end."""

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
    wait_until(lambda: "Listening for browsers on port 8080." in processes.log(log) or
               "Failed to listen" in processes.log(log) or server.poll() is not None,
               "the server to listen for browsers")
    if server.poll() is not None or "Failed to listen" in processes.log(log):
        raise AssertionError("the server did not start:\n" + processes.log(log))
    return server


def free_loopback_port(host="127.0.0.1"):
    with socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET) as probe:
        probe.bind((host, 0))
        return probe.getsockname()[1]


def port_free_everywhere():
    """A port no socket on this machine holds. chromedriver listens on both loopbacks, and
    another test's crowd may hold a port that is free on 127.0.0.1 alone."""
    try:
        with socket.socket(socket.AF_INET6) as probe:
            probe.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
            probe.bind(("::", 0))
            return probe.getsockname()[1]
    except OSError:
        return free_loopback_port()


def has_ipv6_loopback():
    try:
        free_loopback_port("::1")
        return True
    except OSError:
        return False


def accepts(port, host="127.0.0.1"):
    try:
        socket.create_connection((host, port), timeout=1).close()
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


def start_browser(processes, profile, flags=()):
    """Chromium driven through a chromedriver of our own on 127.0.0.1, reached by address."""
    from selenium import webdriver
    from selenium.webdriver.chromium.remote_connection import ChromiumRemoteConnection
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--window-size=900,480", f"--user-data-dir={profile}",
                 # chromedriver reaches the browser through a pipe: over TCP it would ask
                 # for localhost by name.
                 "--remote-debugging-pipe", *flags):
        options.add_argument(flag)
    # The port was free a moment ago; another test may have taken it since, and then
    # chromedriver ends at once: it gets another, three times at most.
    for _ in range(3):
        port = port_free_everywhere()
        chromedriver = processes.start("chromedriver", [shutil.which("chromedriver"),
                                                        f"--port={port}", "--allowed-ips=127.0.0.1"])
        deadline = time.monotonic() + 2 * WAIT
        while not accepts(port) and chromedriver.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        if accepts(port):
            break
        processes.stop(chromedriver)
    else:
        raise AssertionError("chromedriver did not listen:\n" + processes.log("chromedriver")[-3000:])
    connection = ChromiumRemoteConnection(f"http://127.0.0.1:{port}", vendor_prefix="goog",
                                          browser_name="chrome", ignore_proxy=True)
    return webdriver.Remote(command_executor=connection, options=options)


def cdp(driver, command, **params):
    return driver.execute("executeCdpCommand", {"cmd": command, "params": params})["value"]


def emulate(driver, width, height, phone=False):
    """The page's viewport at that size; a phone also has a touch screen."""
    cdp(driver, "Emulation.setDeviceMetricsOverride", width=width, height=height,
        deviceScaleFactor=1, mobile=phone)
    cdp(driver, "Emulation.setTouchEmulationEnabled", enabled=phone, maxTouchPoints=5 if phone else 1)
    wait_until(lambda: driver.execute_script("return innerWidth") == width, f"a {width} px wide page")


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

    def script(self, code, *args):
        return self.driver.execute_script(code, *args)

    def hint(self):
        return self.driver.find_element(self.by.ID, "hint").text

    def rect(self, test_id):
        return self.script("return arguments[0].getBoundingClientRect().toJSON()", self.find(test_id))

    def shows_newest_line(self):
        """The conversation is scrolled to its end and its last line is in view."""
        return self.script("""
            const view = document.querySelector('[data-testid=conversation]');
            const last = document.querySelector('[data-testid=messages]').lastElementChild;
            const atEnd = view.scrollHeight - view.scrollTop - view.clientHeight < 8;
            return atEnd && last.getBoundingClientRect().bottom <= view.getBoundingClientRect().bottom + 1;
        """)


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
        "return document.querySelectorAll('[data-testid=messages] li *:not(bdi), "
        "[data-testid=users] li *:not(bdi), bdi *').length")
    assert made == 0, f"{made} elements made of network text"
    assert page.driver.title == "Halvex chat", page.driver.title
    return tcp


def naming(processes, page):
    """A line typed before any name goes out as typed; Tab takes the name and moves on."""
    from selenium.webdriver.common.keys import Keys
    page.type("message-input", "hello before naming")
    wait_until(lambda: " Message: hello before naming" in processes.log("server"),
               "the nameless line at the server")
    page.find("name-input").send_keys("ann" + Keys.TAB)
    page.wait.until(lambda _: page.texts("users") == ["ann"], "ann listed after Tab")
    focused = page.script("return document.activeElement.dataset.testid")
    assert focused == "message-input", f"Tab from the name box went to {focused}"


# Runs in the page: the character offsets of a line's text, measured from the line's edge.
GLYPHS_SCRIPT = """
const line = arguments[0];
const range = document.createRange();
const edge = line.getBoundingClientRect().left;
const offsets = [];
const walker = document.createTreeWalker(line, NodeFilter.SHOW_TEXT);
for (let node = walker.nextNode(); node; node = walker.nextNode()) {
  for (let i = 0; i < node.length; ++i) {
    range.setStart(node, i);
    range.setEnd(node, i + 1);
    offsets.push(Math.round(range.getBoundingClientRect().left - edge));
  }
}
return offsets;
"""


def refused_name(page, tcp):
    """A refused name is said beside the name field, which keeps it for editing; lines go
    with the name the server took."""
    page.type("name-input", "x" * 62)
    page.wait.until(lambda _: page.hint() == "Name refused: a name is at most 64 bytes. You are still ann.",
                    "the refusal beside the name field")
    assert page.find("name-input").get_attribute("value") == "ann" + "x" * 62
    page.type("message-input", "after a refused name")
    tcp.wait_for(CHAT, lambda text: text == b"ann: after a refused name", "the line with the name taken")


def bidirectional(page, tcp):
    """A right-to-left override shows as <U+202E> and stays inside its own line."""
    plain = "bob: plain line after the other"
    tcp.send(CHAT, b"bob: nothing special")
    tcp.send(CHAT, plain.encode())
    tcp.send(CHAT, "bob: \u202eturned round".encode())
    tcp.send(CHAT, plain.encode())
    page.wait.until(lambda _: page.texts("messages").count(plain) == 2, "both plain lines")
    page.wait_line("bob: <U+202E>turned round")
    lines = page.script("return [...arguments[0].children].filter((l) => l.textContent === arguments[1])",
                        page.find("messages"), plain)
    before, after = (page.driver.execute_script(GLYPHS_SCRIPT, line) for line in lines)
    assert before == after, f"the line after an override is drawn otherwise: {before} / {after}"
    isolated = page.script("""
        const line = arguments[0].lastElementChild;
        return line.dir === 'auto' && getComputedStyle(line).unicodeBidi === 'isolate';""",
                           page.find("messages"))
    assert isolated, "lines are not isolated"


# Runs in the page: the contrast of everything drawn, as drawn: colours with their alpha
# and every ancestor's opacity, laid over the backgrounds behind them.
CONTRAST_SCRIPT = """
const rgba = (text) => {
  const [r, g, b, a = 1] = text.match(/[\\d.]+/g).map(Number);
  return [r, g, b, a];
};
const over = ([r, g, b, a], [R, G, B]) => [r * a + R * (1 - a), g * a + G * (1 - a), b * a + B * (1 - a)];
const luminance = (rgb) => {
  const [r, g, b] = rgb.map((c) => c / 255).map((c) => (c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4));
  return 0.2126 * r + 0.7152 * g + 0.0722 * b;
};
const ratio = (x, y) => {
  const [a, b] = [luminance(x), luminance(y)].sort((p, q) => q - p);
  return (a + 0.05) / (b + 0.05);
};
const opacity = (element) => {
  let value = 1;
  for (let e = element; e; e = e.parentElement) value *= Number(getComputedStyle(e).opacity);
  return value;
};
// What lies behind an element: its own and its ancestors' backgrounds, laid over white.
const behind = (element) => {
  const layers = [];
  for (let e = element; e; e = e.parentElement) {
    const colour = rgba(getComputedStyle(e).backgroundColor);
    colour[3] *= opacity(e);
    layers.push(colour);
  }
  return layers.reverse().reduce((base, layer) => over(layer, base), [255, 255, 255]);
};
const drawn = (element) => element.getClientRects().length > 0 &&
  getComputedStyle(element).visibility === 'visible';
const found = { text: [], border: [], marker: [] };
const check = (kind, what, colour, element, background = behind(element)) => {
  const [r, g, b, a] = rgba(colour);
  found[kind].push([ratio(over([r, g, b, a * opacity(element)], background), background), what]);
};
const label = (e) => `${e.tagName.toLowerCase()}${e.dataset.testid ? '[' + e.dataset.testid + ']' : ''}.${e.className}`;
for (const element of document.body.querySelectorAll('*')) {
  if (!drawn(element)) continue;
  const style = getComputedStyle(element);
  const hasText = [...element.childNodes].some((n) => n.nodeType === Node.TEXT_NODE && n.textContent.trim());
  if (hasText) check('text', label(element), style.color, element);
  const after = getComputedStyle(element, '::after');
  if (after.content && after.content !== 'none' && after.content !== 'normal') {
    check('text', label(element) + '::after', after.color, element);
  }
  if (element.tagName === 'INPUT') {
    if (element.value) check('text', label(element), style.color, element);
    if (!element.value && element.placeholder) {
      check('text', label(element) + '::placeholder', getComputedStyle(element, '::placeholder').color, element);
    }
  }
  if (element.tagName === 'INPUT' || element.tagName === 'BUTTON') {
    // A control's edge against what lies around it.
    check('border', label(element), style.borderTopColor, element, behind(element.parentElement));
  }
  if (element.matches('li.own')) {
    check('marker', label(element), style.borderLeftColor, element, behind(element.parentElement));
  }
}
const lowest = (list) => list.reduce((low, item) => (item[0] < low[0] ? item : low), [Infinity, 'nothing']);
return { text: lowest(found.text), border: lowest(found.border), marker: lowest(found.marker),
         counts: [found.text.length, found.border.length, found.marker.length] };
"""

BOUNDS = {"text": 4.5, "border": 3.0, "marker": 3.0}


def contrast(page, where, measured):
    """Every text, control edge and own-line marker drawn meets its WCAG AA ratio."""
    result = page.script(CONTRAST_SCRIPT)
    for kind, bound in BOUNDS.items():
        value, what = result[kind]
        print(f"contrast {where}: lowest {kind} {value:.2f}:1 ({what}); {result['counts']} checked")
        measured[kind] = min(measured.get(kind, value), value)
        assert value >= bound, f"{where}: {what} has a {kind} contrast of {value:.2f}:1, under {bound}:1"


# A conversation long enough to scroll, as others in the room might have it.
CHATTER = [f"bob: line {n} of a conversation long enough to scroll" for n in range(24)]


def phone(page, tcp, screenshot, measured):
    """The page at phone size: the conversation's width, the online list behind its button,
    and the view following new lines across a resize."""
    emulate(page.driver, 1000, 700)
    for line in CHATTER:
        tcp.send(CHAT, line.encode())
    page.wait_line(CHATTER[-1])
    page.wait.until(lambda _: page.shows_newest_line(), "the newest line in view at 1000x700")
    contrast(page, "at 1000x700", measured)

    emulate(page.driver, 390, 844, phone=True)
    page.wait.until(lambda _: page.shows_newest_line(), "the newest line in view after the resize")
    tcp.send(CHAT, b"bob: ann? this one came after the resize")
    page.wait_line("bob: ann? this one came after the resize")
    page.wait.until(lambda _: page.shows_newest_line(), "the view following at 390x844")
    widths = page.script("""return [innerWidth, document.documentElement.scrollWidth,
        document.querySelector('[data-testid=conversation]').getBoundingClientRect().width]""")
    print(f"at 390x844: page {widths[0]} px, content {widths[1]} px, conversation {widths[2]:.0f} px")
    assert widths[1] <= widths[0], f"the page scrolls sideways: {widths}"
    assert widths[2] >= 0.9 * widths[0], f"the conversation is {widths[2]} of {widths[0]} px"

    toggle, online = page.find("online-toggle"), page.find("online")
    assert toggle.is_displayed() and toggle.text == "Online 2", toggle.text
    assert not online.is_displayed(), "the online list shows without being asked for"
    toggle.click()
    page.wait.until(lambda _: online.is_displayed(), "the online list opened")
    box, view = page.rect("online"), page.rect("conversation")
    assert box["right"] <= view["right"] + 1 and box["width"] < view["width"], (box, view)
    assert toggle.get_attribute("aria-expanded") == "true"
    contrast(page, "at 390x844, online list open", measured)
    toggle.click()
    page.wait.until(lambda _: not online.is_displayed(), "the online list closed")

    if screenshot:
        root, extension = os.path.splitext(screenshot)
        page.driver.save_screenshot(f"{root}-phone{extension}")
        print(f"screenshot saved to {root}-phone{extension}")
    contrast(page, "at 390x844", measured)

    emulate(page.driver, 900, 480)


def restart(processes, server, page, server_path, measured):
    """The page reconnects and names itself again, with the name the server took; the hint of
    a line not sent goes then."""
    from selenium.webdriver.common.keys import Keys
    processes.stop(server)
    page.wait_state("disconnected")
    page.type("message-input", "back again")
    assert page.hint() == "Not connected: the line was not sent.", page.hint()
    contrast(page, "disconnected", measured)
    server = start_server(processes, server_path, "server-again")
    page.wait_state("connected")
    page.wait.until(lambda _: page.hint() == "", "the hint gone once connected")
    tcp = TcpClient(b"bob")
    tcp.wait_for(USER_LIST, lambda names: b"ann\n" in names, "the page's name after reconnection")
    page.find("message-input").send_keys(Keys.ENTER)
    tcp.wait_for(CHAT, lambda text: text == b"ann: back again", "a line after reconnection")
    assert "refused" not in processes.log("server-again"), "the refused name was sent again"
    tcp.close()
    return server


def make_certificate(scratch):
    """A throwaway certificate for ::1, and the pin of its key that Chromium is told to trust
    (--ignore-certificate-errors-spki-list): any other certificate still fails."""
    cert, key = os.path.join(scratch, "cert.pem"), os.path.join(scratch, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                    "-nodes", "-keyout", key, "-out", cert, "-days", "1", "-subj", "/CN=halvex-test",
                    "-addext", "subjectAltName=IP:::1"], check=True, capture_output=True)
    public = subprocess.run(["openssl", "x509", "-in", cert, "-pubkey", "-noout"], check=True,
                            capture_output=True, text=True).stdout
    der = base64.b64decode("".join(line for line in public.splitlines() if not line.startswith("-")))
    return cert, key, base64.b64encode(hashlib.sha256(der).digest()).decode()


def nginx_site(shipped, port, cert, key):
    """The shipped configuration moved to [::1]:port with the test's certificate; nothing else
    of it changes."""
    with open(shipped) as file:
        site = file.read()
    listens = re.findall(r"^ *listen .*$", site, re.M)
    assert listens, "no listen in " + shipped
    site = site.replace(listens[0], re.sub(r"listen \S+", f"listen [::1]:{port}", listens[0]), 1)
    for other in listens[1:]:
        site = site.replace(other + "\n", "", 1)
    for directive, path in (("ssl_certificate", cert), ("ssl_certificate_key", key)):
        site, count = re.subn(rf"^( *{directive}) \S+;$", rf"\1 {path};", site, flags=re.M)
        assert count == 1, f"{directive} in {shipped}"
    return site


def start_nginx(processes, scratch, site, port):
    """nginx as the test's user, every file of it in the scratch folder."""
    prefix = os.path.join(scratch, "nginx")
    os.mkdir(prefix)
    with open(os.path.join(prefix, "halvex.conf"), "w") as file:
        file.write(site)
    temporary = "".join(f"    {kind}_temp_path {prefix}/{kind};\n"
                        for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    with open(os.path.join(prefix, "nginx.conf"), "w") as file:
        file.write(("user root;\n" if os.geteuid() == 0 else "") +
                   f"daemon off;\npid {prefix}/nginx.pid;\nerror_log {prefix}/error.log;\n"
                   f"events {{}}\nhttp {{\n    access_log {prefix}/access.log;\n{temporary}"
                   f"    include {prefix}/halvex.conf;\n}}\n")
    nginx = processes.start("nginx", [shutil.which("nginx"), "-p", prefix, "-e", f"{prefix}/error.log",
                                      "-c", f"{prefix}/nginx.conf"])
    wait_until(lambda: accepts(port, "::1") or nginx.poll() is not None, "nginx to listen")
    if nginx.poll() is not None:
        raise AssertionError("nginx did not start:\n" + processes.log("nginx"))


def through_nginx(processes, page, chat_path, port):
    """The page over https:// and wss:// chats with a terminal, and the server names the browser
    by X-Forwarded-For: nginx reaches the server, which listens on IPv4 alone, from 127.0.0.1,
    so only the header can say ::1."""
    page.driver.get(f"https://[::1]:{port}/")
    page.wait_state("connected")
    assert page.script("return location.protocol") == "https:"
    page.type("name-input", "ann")
    page.wait.until(lambda _: page.texts("users") == ["ann"], "ann listed")
    conversation(processes, page, chat_path, None)
    line = r"^\[::1:\d+\] Message: ann: hi bob, this is the browser$"
    assert re.search(line, processes.log("server"), re.M), "the browser not shown as ::1"


def direct(processes, page, args, screenshot, measured):
    """The page from the server's own web port, and everything it does."""
    page.driver.get(f"http://127.0.0.1:{WEB_PORT}/")
    unit_checks(page.driver)
    page.wait_state("connected")
    naming(processes, page)
    conversation(processes, page, args.chat, screenshot)
    tcp = against_tcp_client(page)
    tcp.send(SET_USER_NAME, b"bob")
    page.wait_line("* <i>bob</i>^G is now bob")
    refused_name(page, tcp)
    bidirectional(page, tcp)
    phone(page, tcp, screenshot, measured)
    tcp.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--chat", required=True)
    parser.add_argument("--through-nginx", metavar="CONF")
    args = parser.parse_args()
    missing = missing_tools(args.through_nginx)
    if missing:
        print("skipped: missing " + ", ".join(missing) +
              " (scripts/ensure-packages chromium chromium-driver python3-selenium nginx openssl)")
        return SKIPPED
    if args.through_nginx and not has_ipv6_loopback():
        print("skipped: no ::1 here, which tells the browser from nginx")
        return SKIPPED
    screenshot = os.environ.get("HALVEX_SCREENSHOT")
    if screenshot:
        screenshot = os.path.abspath(screenshot)
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="halvex-web-") as scratch, \
            open("/tmp/halvex-port6112.lock", "a") as lock:
        processes = Processes(scratch)
        flags = ()
        if args.through_nginx:
            cert, key, pin = make_certificate(scratch)
            flags = (f"--ignore-certificate-errors-spki-list={pin}",)
        # The browser starts before the lock: it takes seconds and touches no port of ours.
        try:
            driver = start_browser(processes, os.path.join(scratch, "profile"), flags)
        except Exception:
            processes.stop_all()
            raise
        measured = {}
        try:
            driver.set_script_timeout(WAIT)
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                print("waiting for /tmp/halvex-port6112.lock: another program uses port 6112",
                      flush=True)
                fcntl.flock(lock, fcntl.LOCK_EX)
            server = start_server(processes, args.server, "server")
            page = Page(driver)
            if args.through_nginx:
                port = free_loopback_port("::1")
                start_nginx(processes, scratch, nginx_site(args.through_nginx, port, cert, key), port)
                through_nginx(processes, page, args.chat, port)
            else:
                direct(processes, page, args, screenshot, measured)
                restart(processes, server, page, args.server, measured)
        except Exception:
            for name in ("server", "server-again", "nginx", "halvex-chat", "chromedriver"):
                if os.path.exists(os.path.join(scratch, name + ".log")):
                    print(f"--- {name} log (end) ---\n" + processes.log(name)[-3000:])
            error_log = os.path.join(scratch, "nginx", "error.log")
            if os.path.exists(error_log):
                with open(error_log) as log:
                    print("--- nginx error log (end) ---\n" + log.read()[-3000:])
            raise
        finally:
            driver.quit()
            processes.stop_all()
    if measured:
        print("lowest contrast: " + ", ".join(f"{kind} {value:.2f}:1" for kind, value in measured.items()))
    print(f"web client: all checks passed in {time.monotonic() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
