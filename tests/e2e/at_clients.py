"""Real AT clients in dialogue with the demo host (examples/at_host), end to end.

  at_clients.py chat|pyserial REVISION PORT AT_HOST...  in e2e_tty_namespace: /dev/ttyGS0 and /dev/ttyS0
  at_clients.py socat REVISION PORT AT_HOST...          UDP channel 0

The host serves UDP channel 0 on PORT (replies to PORT+1) in every case.

AT_HOST... is the host's command. Each channel gets a first dialogue, a pause and resume from the host's
side (on the USB tty, a command sent while paused must be answered, and only after the resume), and a
second dialogue. Exits 0 when every reply came as expected, 1 at the first that did not,
77 when a client is missing and nobody requires it (not root, CI unset).
"""
import os, select, shutil, signal, subprocess, sys, threading, time

DEADLINE = 5.0  # seconds for one reply; a dialogue that stalls fails instead of hanging
LONG = "AT" + "X" * 3070  # a 3 KB command line: longer than the host keeps, so ERROR


def first_dialogue(revision):
    """(what the client sends, the exact reply). Echo is on until ATE0, so the first half of the split
    command comes back alone: proof that it reached the host as a block of its own."""
    return [("AT+CG", "AT+CG"), ("MI\r", "MI\r\r\nlibat_stubs demo\r\n\r\nOK\r\n"),
            ("ATE0\r", "ATE0\r\r\nOK\r\n"), ("AT\r", "\r\nOK\r\n"),
            ("ATI\r", f"\r\nlibat_stubs demo AT demo host, revision {revision}\r\n\r\nOK\r\n"),
            ("AT+CGMI\r", "\r\nlibat_stubs demo\r\n\r\nOK\r\n"), ("AT+NOSUCH\r", "\r\nERROR\r\n"),
            (LONG + "\r", "\r\nERROR\r\n"), ("AT\r", "\r\nOK\r\n")]


SECOND = [("AT\r", "\r\nOK\r\n"), ("AT+CGMI\r", "\r\nlibat_stubs demo\r\n\r\nOK\r\n")]


CHILDREN = []  # ended at a failure, so that nothing holds ctest's output pipe open after us
HOST_LINES = []  # what the host printed (a sanitizer's report too), shown at a failure
COLLECTORS = []


def start(command, **kwargs):
    CHILDREN.append(subprocess.Popen(command, **kwargs))
    return CHILDREN[-1]


def fail(message):
    stop_children()
    for collector in COLLECTORS:
        collector.join(5)  # the host's last lines, up to its end
    print("e2e: FAILED: " + message + "\nthe host said:\n" + "\n".join(filter(None, HOST_LINES)), flush=True)
    sys.exit(1)


def stop_children():
    for child in CHILDREN:
        child.kill()
        child.wait()


class FdLine:
    """One end of a line on descriptors: a tty, or a client's pipes."""
    def __init__(self, wfd, rfd):
        self.wfd, self.rfd = wfd, rfd

    def write(self, data):
        os.write(self.wfd, data)

    def read(self, timeout):
        return os.read(self.rfd, 65536) if select.select([self.rfd], [], [], timeout)[0] else b""


class SerialLine:
    def __init__(self, path):
        import serial  # python3-serial
        self.port = serial.Serial(path, 115200, timeout=0)

    def write(self, data):
        self.port.write(data)
        self.port.flush()

    def read(self, timeout):
        self.port.timeout = timeout
        return self.port.read(max(1, self.port.in_waiting))


def expect(line, want, timeout=DEADLINE):
    got, end = b"", time.monotonic() + timeout
    while len(got) < len(want) and time.monotonic() < end:
        got += line.read(end - time.monotonic())
    if got != want:
        fail(f"expected {want[:80]!r}, got {got[:80]!r}")


def talk(line, dialogue):
    for send, reply in dialogue:
        line.write(send.encode())
        expect(line, reply.encode())


def chat(fd, dialogue):
    """The dialogue as ppp's chat runs it on the tty: it sends each string with a carriage return unless it
    ends in \\c, and waits for each reply. chat types 10 ms per character and takes send strings of a few
    hundred bytes only, so it leaves the 3 KB line to the other two clients."""
    esc = lambda s: s.replace("\r", "\\r").replace("\n", "\\n")
    script = [""]
    for send, reply in dialogue:
        if send != LONG + "\r":
            script += [send[:-1] if send.endswith("\r") else send + "\\c", esc(reply)]
    run = subprocess.run([CHAT, "-s", "-v", "-t", str(int(DEADLINE))] + script, stdin=fd, stdout=fd,
                         stderr=subprocess.PIPE, text=True, timeout=60)
    if run.returncode != 0:
        fail(f"chat ended with status {run.returncode}:\n{run.stderr[-2000:]}")


class Host:
    def __init__(self, command):
        self.proc = start(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True)
        self.lines, self.seen = HOST_LINES, threading.Condition()
        COLLECTORS.append(threading.Thread(target=self._collect, daemon=True))
        COLLECTORS[-1].start()

    def _collect(self):
        for text in self.proc.stdout:
            with self.seen:
                self.lines.append(text.rstrip("\n"))
                self.seen.notify_all()
        with self.seen:
            self.lines.append(None)  # the host has ended
            self.seen.notify_all()

    def wait_for(self, text, start=0):
        with self.seen:
            found = lambda: any(l is None or text in l for l in self.lines[start:])
            if not self.seen.wait_for(found, 10) or not any(l and text in l for l in self.lines[start:]):
                fail(f"the host did not say {text!r}")

    def control(self, command, answer):
        start = len(self.lines)
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        self.wait_for(answer, start)

    def stop(self, clients):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(30)
        self.wait_for(f"stopped: {clients} client")
        if self.proc.returncode != 0:
            fail(f"the host ended with status {self.proc.returncode}")


def exercise(host, name, line, dialogue_runner):
    dialogue_runner(first_dialogue(REVISION))
    # A resume returns before the reader has reopened the device. A tty keeps what arrives meanwhile; a UDP
    # socket is not there to take it, so a datagram sent right after the resume may be lost and the UDP
    # channel is not paused here.
    if name != "udp0":
        host.control(f"pause {name}", f"{name}: paused")
    if name == "usb":
        # The parked reader reads nothing, and the command waits in the tty for the resume. (A UART's reader
        # has no STOP to wake it: it takes the next block before it parks, and a reply is not sent while
        # paused.)
        line.write(b"AT\r")
        if line.read(0.3):
            fail(f"{name}: answered while paused")
    if name != "udp0":
        host.control(f"resume {name}", f"{name}: resumed")
    if name == "usb":
        expect(line, b"\r\nOK\r\n")
    dialogue_runner(SECOND)
    print(f"e2e: {name}: passed", flush=True)


def main():
    global CHAT, REVISION
    client, REVISION = sys.argv[1], sys.argv[2]
    CHAT = shutil.which("chat") or "/usr/sbin/chat"
    missing = {"chat": not os.access(CHAT, os.X_OK), "socat": not shutil.which("socat")}
    try:
        import serial  # noqa: F401
    except ImportError:
        missing["pyserial"] = True
    if missing.get(client) or missing["socat"]:
        ci = os.environ.get("CI", "") not in ("", "0", "false")
        print(f"e2e: {client} or socat is not installed (scripts/setup.sh installs them)", flush=True)
        sys.exit(1 if os.geteuid() == 0 or ci else 77)

    if client == "socat":
        port = int(sys.argv[3])
        host = Host(sys.argv[4:] + ["--no-usb", "--control", "--rx-port", str(port), "--tx-port", str(port + 1)])
        host.wait_for("ready;")
        # Reads of at most 1024 bytes: the 3 KB line goes in three datagrams, as a client must send it.
        sock = start(["socat", "-b", "1024", "STDIO",
                                 f"UDP-DATAGRAM:127.0.0.1:{port},bind=127.0.0.1:{port + 1}"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        line = FdLine(sock.stdin.fileno(), sock.stdout.fileno())
        exercise(host, "udp0", line, lambda d: talk(line, d))
        host.stop(1)
        stop_children()
        return

    # UDP channel 0 is always served: on ports of the test's own, so as to meet no other host.
    port = int(sys.argv[3])
    host = Host(sys.argv[4:] + ["--uart", "0", "--control", "--rx-port", str(port), "--tx-port", str(port + 1)])
    host.wait_for("ready;")
    for name, dev in (("usb", "ttyGS0"), ("uart0", "ttyS0")):
        # The client's own tty, joined to the far end of the host's pty as a cable would join two ports.
        # Its link lives in the namespace's own /dev, which ends with the test.
        path, master = f"/dev/at_client_{dev}", int(os.environ[f"AT_E2E_PTY_{dev}"])
        start(["socat", f"FD:{master}", f"PTY,link={path},rawer"], pass_fds=[master])
        end = time.monotonic() + 10
        while not os.path.exists(path) and time.monotonic() < end:
            time.sleep(0.01)  # socat makes the link; nothing of ours runs meanwhile
        if client == "pyserial":
            line = SerialLine(path)
            exercise(host, name, line, lambda d: talk(line, d))
        else:
            fd = os.open(path, os.O_RDWR | os.O_NOCTTY)  # held across both chat runs, so the cable stays up
            exercise(host, name, FdLine(fd, fd), lambda d: chat(fd, d))
    host.stop(3)
    stop_children()


if __name__ == "__main__":
    main()
