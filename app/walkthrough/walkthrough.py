#!/usr/bin/python3
"""Walks through the main window as an operator would, through its
accessibility tree (AT-SPI) on a virtual display.

Run it inside its own D-Bus session (app/walkthrough/run does): it starts
the virtual display, the accessibility bus, terminal emulators and the
program, and ends every process it started on every way out.

  walkthrough.py BUILD_DIR OUT_DIR
"""

import json
import os
import random
import re
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
import traceback

# Every wait has a limit; these are generous for a sanitizer build on a
# busy machine.
WAIT_WINDOW_S = 60
WAIT_STEP_S = 60

MAIN_TITLE = "V270 PARMAKİZİ AKTARIM"
RECORDS = 3000
# Records come 8192 to a round trip: the slow terminal's take several.
SLOW_RECORDS = 30000
KEY_UP, KEY_RETURN = 0xFF52, 0xFF0D  # X keysyms


class WalkFailure(Exception):
    pass


class WalkTimeout(WalkFailure):
    pass


def log(text):
    print("walkthrough: " + text, flush=True)


class Processes:
    """Every child started here, ended in reverse order on the way out."""

    def __init__(self):
        self.children = []

    def start(self, name, args, **kwargs):
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        process = subprocess.Popen(args, start_new_session=True, **kwargs)
        self.children.append((name, process))
        return process

    def stop(self, process, grace=5):
        if process.poll() is not None:
            return
        try:
            os.killpg(process.pid, signal.SIGTERM)
        except ProcessLookupError:
            return
        try:
            process.wait(grace)
        except subprocess.TimeoutExpired:
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            process.wait(grace)

    def stop_all(self):
        for _, process in reversed(self.children):
            self.stop(process)
        self.children.clear()


def read_line(process, deadline_s, what):
    """A line of the child's standard output, within the limit."""
    import selectors

    selector = selectors.DefaultSelector()
    selector.register(process.stdout, selectors.EVENT_READ)
    end = time.monotonic() + deadline_s
    buffer = b""
    try:
        while time.monotonic() < end:
            if not selector.select(max(0.0, end - time.monotonic())):
                break
            chunk = os.read(process.stdout.fileno(), 4096)
            if not chunk:
                break
            buffer += chunk
            if b"\n" in buffer:
                return buffer.split(b"\n", 1)[0].decode()
    finally:
        selector.close()
    raise WalkFailure(f"{what}: no line within {deadline_s} s (got {buffer!r})")


def attendance_state(records, new):
    """An emulator state with `records` logs, the last `new` not yet taken."""
    rng = random.Random(records * 7 + new)
    logs = []
    for i in range(records):
        minute = i % (60 * 24 * 28)
        logs.append({"enroll": rng.randint(1, 200), "mode": rng.randint(0, 1),
                     "year": 2026, "month": 11, "day": 1 + minute // (60 * 24),
                     "hour": (minute // 60) % 24, "minute": minute % 60})
    return {"machine": 1, "password": 0, "logs": logs, "new_mark": records - new}


def start_emulator(procs, build, work, name, state, delay_ms=0):
    path = os.path.join(work, name + ".json")
    with open(path, "w") as f:
        json.dump(state, f)
    args = [os.path.join(build, "terminal", "v270-terminal"), "--state", path,
            "--listen", "127.0.0.1:0"]
    if delay_ms:
        args += ["--delay-ms", str(delay_ms)]
    process = procs.start("emulator " + name, args, stdout=subprocess.PIPE)
    line = read_line(process, 30, "emulator " + name)
    if not line.startswith("tcp "):
        raise WalkFailure(f"emulator {name}: unexpected first line {line!r}")
    return int(line.rsplit(":", 1)[1])


def start_display(procs):
    """Xvfb on a display number of its own. Numbers are tried at random
    from a range that xvfb-run -a (which counts up from 99) rarely reaches,
    so that walks and screenshots run side by side do not meet."""
    rng = random.Random()
    for _ in range(20):
        number = rng.randint(300, 899)
        if os.path.exists(f"/tmp/.X{number}-lock"):
            continue
        process = procs.start("Xvfb", ["Xvfb", f":{number}", "-screen", "0", "1024x768x24",
                                       "-nolisten", "tcp"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        socket_path = f"/tmp/.X11-unix/X{number}"
        end = time.monotonic() + 15
        while time.monotonic() < end and process.poll() is None:
            if os.path.exists(socket_path):
                return f":{number}"
            time.sleep(0.1)
        procs.stop(process)
    raise WalkFailure("no virtual display would start (Xvfb)")


def find_file(build, *candidates):
    for c in candidates:
        path = os.path.join(build, c)
        if os.path.exists(path):
            return path
    raise WalkFailure(f"none of {candidates} under {build}: build the targets first")


class Tree:
    """Finding and driving controls through the accessibility tree."""

    def __init__(self, pyatspi):
        self.a = pyatspi

    def children(self, node):
        try:
            return [node.getChildAtIndex(i) for i in range(node.childCount)]
        except Exception:
            return []

    def walk(self, node, depth=0, limit=25):
        if node is None or depth > limit:
            return
        yield node
        for child in self.children(node):
            if child is not None:
                yield from self.walk(child, depth + 1, limit)

    @staticmethod
    def name(node):
        try:
            return node.name or ""
        except Exception:
            return ""

    @staticmethod
    def role(node):
        try:
            return node.getRole()
        except Exception:
            return None

    @staticmethod
    def description(node):
        try:
            return node.description or ""
        except Exception:
            return ""

    def text(self, node):
        """The name and, where it has one, the text of a node."""
        parts = [self.name(node)]
        try:
            t = node.queryText()
            parts.append(t.getText(0, t.characterCount))
        except Exception:
            pass
        return " ".join(p for p in parts if p)

    def all_text(self, node):
        return "\n".join(self.text(n) for n in self.walk(node))

    def application(self, pid):
        for app in self.children(self.a.Registry.getDesktop(0)):
            try:
                if app is not None and app.get_process_id() == pid:
                    return app
            except Exception:
                continue
        return None

    def windows(self, app):
        return [w for w in self.children(app) if w is not None]

    def find(self, root, role=None, name=None, contains=None, showing=False):
        for n in self.walk(root):
            if role is not None and self.role(n) != role:
                continue
            if name is not None and self.name(n) != name:
                continue
            if contains is not None and contains not in self.name(n):
                continue
            if showing and not n.getState().contains(self.a.STATE_SHOWING):
                continue
            return n
        return None

    def press(self, node):
        """The control's first action ("Press" for a button)."""
        action = node.queryAction()
        for i in range(action.nActions):
            if action.getName(i) in ("press", "Press", "click"):
                return action.doAction(i)
        return action.doAction(0)

    def click(self, node, button=1):
        x, y, w, h = node.queryComponent().getExtents(self.a.DESKTOP_COORDS)
        if w <= 0 or h <= 0:
            raise WalkFailure(f"{self.name(node)!r} has no area on screen to click")
        self.a.Registry.generateMouseEvent(x + w // 2, y + h // 2, f"b{button}c")

    def dump(self, node, depth=0):
        """The subtree, a line per node: role and name, indented by depth."""
        lines = ["  " * depth + f"[{node.getRoleName()}] {self.name(node)!r}"]
        if depth < 25:
            for child in self.children(node):
                if child is not None:
                    lines.append(self.dump(child, depth + 1))
        return "\n".join(lines)


def wait_for(what, probe, limit_s=WAIT_STEP_S, every_s=0.2):
    end = time.monotonic() + limit_s
    while time.monotonic() < end:
        try:
            found = probe()
        except WalkFailure:
            raise
        except Exception:
            found = None
        if found:
            return found
        time.sleep(every_s)
    raise WalkTimeout(f"timed out after {limit_s} s waiting for {what}")


class Walk:
    def __init__(self, build, out, procs, app_process, pyatspi):
        self.build, self.out, self.procs, self.app_process = build, out, procs, app_process
        self.a = pyatspi
        self.t = Tree(pyatspi)
        self.app = wait_for("the program on the accessibility bus",
                            lambda: self.alive() or self.t.application(app_process.pid),
                            WAIT_WINDOW_S)
        self.main = wait_for("the main window", lambda: next(
            (w for w in self.t.windows(self.app) if MAIN_TITLE in self.t.name(w)), None),
            WAIT_WINDOW_S)
        self.grid = wait_for("the terminal grid", self.find_grid)
        self.connect = self.button("BAGLAN")

    def alive(self):
        if self.app_process.poll() is not None:
            raise WalkFailure(f"the program ended (exit {self.app_process.returncode})")

    def find_grid(self):
        # Named "Terminaller"; before it had a name, the only table of the
        # window.
        return (self.t.find(self.main, self.a.ROLE_TABLE, name="Terminaller")
                or self.t.find(self.main, self.a.ROLE_TABLE))

    def button(self, name, root=None):
        return wait_for(f"the button {name!r}", lambda: self.t.find(
            root or self.main, self.a.ROLE_PUSH_BUTTON, name=name))

    def labels(self):
        """The status line and the record count: by their names or, before
        they had them, by their place among the window's labels (the count
        follows its caption, the status line comes last)."""
        found = [n for n in self.t.walk(self.main) if self.t.role(n) == self.a.ROLE_LABEL]
        names = [self.t.name(n) for n in found]
        # A label that shows a state says what it is in its description
        # (older builds: in its name).
        def says(n, what):
            return what in (self.t.name(n), self.t.description(n))
        status = next((n for n in found if says(n, "Durum")), found[-1])
        count = next((n for n in found if says(n, "Aktarılan kayıt")), None)
        if count is None and "Aktarılan Kayıt Sayısı:" in names:
            count = found[names.index("Aktarılan Kayıt Sayısı:") + 1]
        return status, count

    def dialogs(self):
        # Message boxes are alerts and other dialogs dialogs; the main
        # window is neither.
        return [w for w in self.t.windows(self.app)
                if self.t.role(w) in (self.a.ROLE_DIALOG, self.a.ROLE_ALERT)]

    def message(self, what, expected, limit_s=WAIT_STEP_S):
        """Waits for a message box holding `expected`, answers it with its
        OK button and returns its text."""
        def probe():
            self.alive()
            for d in self.dialogs():
                text = self.t.all_text(d)
                if any(e in text for e in expected):
                    return d, text
            return None

        try:
            box, text = wait_for(f"{what}: a message with one of {expected}", probe, limit_s)
        except WalkTimeout:
            shown = [self.t.all_text(d) for d in self.dialogs()]
            raise WalkFailure(f"{what}: no message with one of {expected}; open windows "
                              f"say {shown}")
        ok = (self.t.find(box, self.a.ROLE_PUSH_BUTTON, name="Tamam")
              or self.t.find(box, self.a.ROLE_PUSH_BUTTON, name="OK"))
        if ok is None:
            raise WalkFailure(f"{what}: the message has no \"Tamam\" button:\n"
                              + self.t.dump(box))
        self.t.press(ok)
        wait_for(f"{what}: the message to close",
                 lambda: all(self.t.all_text(d) != text for d in self.dialogs()))
        return text

    def row_cell(self, terminal):
        table = self.grid.queryTable()
        for r in range(table.nRows):
            for c in range(table.nColumns):
                cell = table.getAccessibleAt(r, c)
                if cell is not None and self.t.text(cell).strip() == terminal:
                    return cell
        return None

    def select(self, terminal):
        cell = wait_for(f"the row {terminal!r} in the grid", lambda: self.row_cell(terminal))
        self.t.click(cell)
        wait_for(f"the row {terminal!r} to be selected",
                 lambda: self.row_cell(terminal).getState().contains(self.a.STATE_SELECTED),
                 10)
        return cell

    def caption(self, node, expected, limit_s=WAIT_STEP_S):
        wait_for(f"the caption {expected!r} (now {self.t.name(node)!r})",
                 lambda: self.alive() or self.t.name(node) == expected, limit_s)

    def connect_to(self, terminal):
        self.select(terminal)
        self.t.press(self.connect)
        self.caption(self.connect, "BAGLANTI_KES")

    def disconnect(self):
        self.t.press(self.connect)
        self.caption(self.connect, "BAGLAN")

    def screenshot(self, name):
        path = os.path.join(self.out, name)
        try:
            subprocess.run(["import", "-window", "root", path], check=True, timeout=30,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            log(f"screenshot {path}")
        except (OSError, subprocess.SubprocessError) as e:
            log(f"no screenshot {path}: {e}")


def data_lines(program_dir):
    path = os.path.join(program_dir, "veri.txt")
    if not os.path.exists(path):
        return 0
    with open(path, "rb") as f:
        return sum(1 for line in f if line.strip())


def walk_through(w, program_dir):
    t, a = w.t, w.a
    status, count = w.labels()
    progress = (t.find(w.main, a.ROLE_PROGRESS_BAR, name="İlerleme")
                or t.find(w.main, a.ROLE_PROGRESS_BAR))
    log("tree of the main window:\n" + t.dump(w.main))

    # A terminal with new records: they reach veri.txt.
    w.connect_to("Giriş")
    t.press(w.button("Verileri Aktar"))
    text = w.message("transfer", ["Bilgiler Dosyaya Aktarıldı...."])
    lines = data_lines(program_dir)
    if lines != RECORDS:
        raise WalkFailure(f"transfer: veri.txt has {lines} lines, expected {RECORDS}")
    value = progress.queryValue()
    log(f"transfer: {lines} records; the message said {' '.join(text.split())!r}; "
        f"count {t.text(count)!r}, status {t.text(status)!r}, progress "
        f"{value.currentValue}/{value.maximumValue}")
    # A label with a name of its own shows its text only where the toolkit
    # offers it as text; without that there is nothing to read.
    shown = t.text(count).replace(".", "") if count is not None else ""
    if count is None or shown == t.name(count) == "Aktarılan kayıt":
        log("transfer: the record count is not readable through the tree")
    elif str(RECORDS) not in shown:
        raise WalkFailure(f"transfer: the record count says {t.text(count)!r}, "
                          f"expected {RECORDS}")
    # The status line names the terminal and says what came of the transfer.
    said = t.text(status)
    if "Bağlı: Giriş" not in said or "Giriş: 3.000 kayıt yazıldı" not in said:
        raise WalkFailure(f"transfer: the status line says {said!r}")
    w.screenshot("walkthrough-transfer.png")
    w.disconnect()

    # A terminal with none new.
    w.connect_to("Yemekhane")
    t.press(w.button("Verileri Aktar"))
    w.message("no new records", ["Cihazdan Alınacak Veri Yok..."])
    if data_lines(program_dir) != RECORDS:
        raise WalkFailure("no new records: veri.txt changed")
    w.disconnect()

    # A slow terminal: "İptal" stops the transfer once the first records
    # are in, and those that were read are written.
    w.connect_to("Yavaş")
    t.press(w.button("Verileri Aktar"))
    cancel = w.button("İptal")
    wait_for("the cancel button to be enabled",
             lambda: cancel.getState().contains(a.STATE_ENABLED), 20)
    wait_for("the first records of the slow terminal",
             lambda: progress.queryValue().currentValue > 0, 30, 0.05)
    t.press(cancel)
    text = w.message("cancel", ["iptal"])
    log(f"cancel: {' '.join(text.split())!r}")
    match = re.search(r"okunan ([\d.]+) kayıt", text)
    read = int(match.group(1).replace(".", "")) if match else -1
    if not 0 < read < SLOW_RECORDS or data_lines(program_dir) != RECORDS + read:
        raise WalkFailure(f"cancel: the message says {read} records were read, veri.txt "
                          f"has {data_lines(program_dir) - RECORDS} more lines")
    w.disconnect()

    # A terminal nobody answers for.
    w.select("Kapalı")
    t.press(w.connect)
    text = w.message("dead terminal", ["Hata..Bağlantı Kurulamadı...."])
    log(f"dead terminal: {' '.join(text.split())!r}")
    w.caption(w.connect, "BAGLAN", 10)

    # Every terminal at once, from the grid's popup menu.
    # Qt leaves popup menus out of the application's tree, so the menu is
    # opened with the right button and its entries chosen with the keyboard
    # from the bottom: "Geçmiş", then "Tüm Terminallerden Aktar".
    def popup(entry_from_bottom):
        t.click(w.select("Giriş"), button=3)
        time.sleep(0.5)
        for key in [KEY_UP] * entry_from_bottom + [KEY_RETURN]:
            a.Registry.generateKeyboardEvent(key, None, a.KEY_SYM)  # press and release
            time.sleep(0.2)

    popup(2)
    dialog = wait_for("the \"Tüm Terminallerden Aktar\" window", lambda: next(
        (d for d in w.dialogs() if t.name(d) == "Tüm Terminallerden Aktar"), None))
    summary = wait_for("the all-terminals run to end", lambda: next(
        (t.name(n) for n in t.walk(dialog) if t.name(n).startswith("Bitti:")), None), 200)
    rows = {}
    table = t.find(dialog, a.ROLE_TABLE).queryTable()
    for r in range(table.nRows):
        cells = [t.text(table.getAccessibleAt(r, c)).strip() for c in range(table.nColumns)]
        rows[cells[0]] = cells
    log(f"all terminals: {summary!r}; rows {rows}")
    w.screenshot("walkthrough-all-terminals.png")
    expect = {"Giriş": "Aktarılacak kayıt yok", "Yemekhane": "Aktarılacak kayıt yok",
              "Kapalı": "Bağlanamadı"}
    for name, result in expect.items():
        if name not in rows or rows[name][2] != result:
            raise WalkFailure(f"all terminals: row {name!r} is {rows.get(name)}, "
                              f"expected the result {result!r}")
    if "Yavaş" not in rows or not rows["Yavaş"][2].endswith("kayıt aktarıldı"):
        raise WalkFailure(f"all terminals: row 'Yavaş' is {rows.get('Yavaş')}, expected "
                          "the rest of its records")
    if "1 terminal sorunlu" not in summary:
        raise WalkFailure(f"all terminals: summary {summary!r}, expected one failed terminal")
    t.press(w.button("Kapat", dialog))
    wait_for("the all-terminals window to close",
             lambda: all(t.name(d) != "Tüm Terminallerden Aktar" for d in w.dialogs()))
    if data_lines(program_dir) != RECORDS + SLOW_RECORDS:
        raise WalkFailure(f"all terminals: veri.txt has {data_lines(program_dir)} lines, "
                          f"expected {RECORDS + SLOW_RECORDS}")

    # The history: every transfer of this walk, newest first, the dead
    # terminal's failure among them.
    popup(1)
    history = wait_for("the \"Geçmiş\" window", lambda: next(
        (d for d in w.dialogs() if t.name(d) == "Geçmiş"), None))
    table = wait_for("the history's rows", lambda: (
        lambda tb: tb if tb is not None and tb.queryTable().nRows > 0 else None)(
            t.find(history, a.ROLE_TABLE)))
    grid = table.queryTable()
    entries = [[t.text(grid.getAccessibleAt(r, c)).strip() for c in range(grid.nColumns)]
               for r in range(grid.nRows)]
    log(f"history: {len(entries)} entries, newest {entries[0]}")
    w.screenshot("walkthrough-history.png")
    flat = [" ".join(e) for e in entries]
    if not any("Kapalı" in e for e in flat) or not any("Giriş" in e and "3.000" in e
                                                        for e in flat):
        raise WalkFailure(f"history: expected Giriş's 3.000 records and Kapalı's failure, "
                          f"found {flat}")
    t.press(w.button("Kapat", history))
    wait_for("the history window to close",
             lambda: all(t.name(d) != "Geçmiş" for d in w.dialogs()))


def on_term(number, frame):
    raise WalkFailure(f"ended by signal {number}")


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    build, out = (os.path.abspath(p) for p in sys.argv[1:])
    if not os.environ.get("DBUS_SESSION_BUS_ADDRESS"):
        print("walkthrough: run inside dbus-run-session (app/walkthrough/run)", file=sys.stderr)
        return 2
    os.makedirs(out, exist_ok=True)
    # The outer time limit ends the walk with SIGTERM: the children are
    # still ended on the way out.
    signal.signal(signal.SIGTERM, on_term)
    procs = Processes()
    work = tempfile.TemporaryDirectory(prefix="v270-walkthrough-")
    app_log = os.path.join(out, "walkthrough-app.log")
    try:
        app = find_file(build, "app/v270-aktarim")
        init = find_file(build, "cli/v270-init-program-dir")
        program_dir = os.path.join(work.name, "program")
        subprocess.run([init, program_dir], check=True, timeout=60, stdout=subprocess.DEVNULL)

        ports = {
            "Giriş": start_emulator(procs, build, work.name, "giris",
                                    attendance_state(RECORDS, RECORDS)),
            "Yemekhane": start_emulator(procs, build, work.name, "yemekhane",
                                        attendance_state(20, 0)),
            "Yavaş": start_emulator(procs, build, work.name, "yavas",
                                    attendance_state(SLOW_RECORDS, SLOW_RECORDS), delay_ms=700),
            "Kapalı": 1,  # nothing listens there
        }
        with sqlite3.connect(os.path.join(program_dir, "Data.mdb")) as db:
            for name, port in ports.items():
                db.execute("insert into Terminal (TerminalNo, Terminal, Tip, ComPort, ComBaud, "
                           "Ip, NetPort, Sifre) values (1, ?, 'ethernet', '', '', '127.0.0.1', "
                           "?, 0)", (name, port))
        db.close()

        display = start_display(procs)
        os.environ["DISPLAY"] = display
        procs.start("at-spi-bus-launcher", ["/usr/libexec/at-spi-bus-launcher",
                                            "--launch-immediately"],
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        env = dict(os.environ, QT_QPA_PLATFORM="xcb", QT_ACCESSIBILITY="1",
                   QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", NO_AT_BRIDGE="0",
                   ASAN_OPTIONS="detect_leaks=0:abort_on_error=1",
                   UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1")
        with open(app_log, "wb") as f:
            app_process = procs.start("v270-aktarim", [app, "--dir", program_dir], env=env,
                                      stdout=f, stderr=subprocess.STDOUT)
        import pyatspi  # after the display and the bus are up

        walk = Walk(build, out, procs, app_process, pyatspi)
        walk_through(walk, program_dir)
        log("passed")
        return 0
    except (WalkFailure, subprocess.SubprocessError, OSError) as e:
        log(f"FAILED: {e}")
        if os.path.exists(app_log):
            with open(app_log, "rb") as f:
                tail = f.read()[-3000:].decode(errors="replace")
            log(f"the program's output ({app_log}) ends:\n{tail}")
        return 1
    except Exception:
        log("FAILED:\n" + traceback.format_exc())
        return 1
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)  # let the cleanup finish
        procs.stop_all()
        work.cleanup()


if __name__ == "__main__":
    sys.exit(main())
