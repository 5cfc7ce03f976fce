#!/usr/bin/env python3
"""The real window on a virtual X display, seen as a screen reader sees it and driven by keys.

  a11y_run.py names    WINDOW FIXTURE   every control has a name and a description in the
                                         window's language (English, then Russian), the music
                                         dialog's too
  a11y_run.py keyboard WINDOW FIXTURE   an installation from Step 1 to the success line with
                                         key events alone, the music dialog included

The script starts its own Xvfb (a free display from -displayfd) and runs itself again inside
a private D-Bus session, where the accessibility bus starts on demand. It exits 77 (a skip)
when Xvfb, xdotool, dbus-run-session or pyatspi are missing.
"""
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback

SKIP = 77
TOTAL_SECONDS = 110  # ctest's own limit is above this: a hang ends here, with a message
HERE = os.path.dirname(os.path.abspath(__file__))
LANG_DIR = os.path.normpath(os.path.join(HERE, "..", "..", "lang"))


class Failure(Exception):
    pass


def lang_texts(name):
    texts = {}
    with open(os.path.join(LANG_DIR, name + ".lng"), encoding="utf-8-sig") as f:
        for line in f:
            m = re.match(r'\s*([A-Za-z0-9]+)\s*=\s*"(.*)"\s*$', line)
            if m:
                texts[m.group(1)] = m.group(2).replace('""', '"')
    return texts


def plain(text):
    """A text as shown: without its mnemonic mark."""
    return re.sub(r"&(.)", r"\1", text)


# ---------------------------------------------------------------- outside the session

def missing_requirement():
    for tool in ("Xvfb", "xdotool", "dbus-run-session"):
        if shutil.which(tool) is None:
            return tool
    try:
        import pyatspi  # noqa: F401
    except Exception as e:  # any import failure means no screen-reader interface here
        return "pyatspi (%s)" % e
    return None


def start_xvfb():
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
                             "-nolisten", "tcp"], pass_fds=(write_end,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    deadline = time.monotonic() + 20
    while not number.endswith(b"\n") and time.monotonic() < deadline:
        ready, _, _ = select.select([read_end], [], [], 1)
        if ready:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
    os.close(read_end)
    if not number.strip().isdigit():
        xvfb.kill()
        xvfb.wait()
        raise Failure("Xvfb did not give a display number")
    return xvfb, ":" + number.strip().decode()


def outside(argv):
    missing = missing_requirement()
    if missing:
        print("SKIP: %s is missing" % missing)
        return SKIP
    xvfb, display = start_xvfb()
    private = tempfile.mkdtemp(prefix="qpt-a11y-env-")
    os.chmod(private, 0o700)
    env = dict(os.environ, DISPLAY=display, QPT_A11Y_INSIDE="1", XDG_RUNTIME_DIR=private,
               XDG_CONFIG_HOME=os.path.join(private, "config"), XDG_CACHE_HOME=os.path.join(private, "cache"),
               XDG_DATA_HOME=os.path.join(private, "data"))
    # Nothing of the desktop the tests were started from: its bus, its accessibility bus, its
    # platform theme (whose native file dialogs would take no typed path).
    for name in ("DBUS_SESSION_BUS_ADDRESS", "AT_SPI_BUS_ADDRESS", "WAYLAND_DISPLAY", "QT_QPA_PLATFORMTHEME",
                 "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "GNOME_DESKTOP_SESSION_ID", "KDE_FULL_SESSION"):
        env.pop(name, None)
    inside = subprocess.Popen(["dbus-run-session", "--", sys.executable, os.path.abspath(__file__)] + argv,
                              env=env, start_new_session=True)
    try:
        return inside.wait(timeout=TOTAL_SECONDS)
    except subprocess.TimeoutExpired:
        print("FAIL: the test did not end within %d s" % TOTAL_SECONDS)
        return 1
    finally:
        if inside.poll() is None:
            os.killpg(inside.pid, signal.SIGKILL)
            inside.wait()
        xvfb.terminate()
        try:
            xvfb.wait(timeout=10)
        except subprocess.TimeoutExpired:
            xvfb.kill()
            xvfb.wait()
        shutil.rmtree(private, ignore_errors=True)


# ---------------------------------------------------------------- inside the session

class Window:
    """The running window, as the accessibility bus shows it, and the keys sent to it."""

    def __init__(self, program, pid):
        import pyatspi
        self.at = pyatspi
        self.program = program
        self.pid = pid
        self.app = None

    def live(self, acc):
        # The client keeps a cache that only the event loop (not run here) would refresh.
        try:
            acc.clear_cache()
        except Exception:
            pass
        return acc

    def find_app(self, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            desktop = self.live(self.at.Registry.getDesktop(0))
            for app in desktop:
                try:
                    if app is not None and app.get_process_id() == self.pid:
                        self.app = app
                        return
                except Exception:
                    pass
            time.sleep(0.3)
        raise Failure("the window never appeared on the accessibility bus")

    def windows(self):
        """The top-level windows that are shown, newest last."""
        shown = []
        for w in self.live(self.app):
            if w is not None and self.live(w).getState().contains(self.at.STATE_SHOWING):
                shown.append(w)
        return shown

    def walk(self, acc, leaves=()):
        yield self.live(acc)
        if acc.getRole() in leaves:
            return
        for child in acc:
            if child is not None:
                yield from self.walk(child, leaves)

    def controls(self, window):
        def known(*names):
            return {getattr(self.at, n) for n in names if hasattr(self.at, n)}
        roles = known("ROLE_PUSH_BUTTON", "ROLE_COMBO_BOX", "ROLE_CHECK_BOX", "ROLE_RADIO_BUTTON", "ROLE_ENTRY",
                      "ROLE_TABLE", "ROLE_LIST", "ROLE_TEXT", "ROLE_PASSWORD_TEXT", "ROLE_SPIN_BUTTON",
                      "ROLE_TREE_TABLE", "ROLE_LIST_BOX")
        # The cells of a table and the items of a list are read through their control.
        leaves = known("ROLE_TABLE", "ROLE_LIST", "ROLE_LIST_BOX", "ROLE_TREE_TABLE")
        return [acc for acc in self.walk(window, leaves) if acc.getRole() in roles]

    def find(self, window, name, role=None, description=None):
        for acc in self.walk(window, {self.at.ROLE_TABLE, self.at.ROLE_LIST}):
            if ((name is None or acc.name == name) and (role is None or acc.getRole() == role) and
                    (description is None or acc.description == description)):
                return acc
        raise Failure("no control named %r described as %r" % (name, description))

    def focused(self, window):
        for acc in self.walk(window, {self.at.ROLE_TABLE, self.at.ROLE_LIST}):
            if self.live(acc).getState().contains(self.at.STATE_FOCUSED):
                return acc
        return None

    def state(self, acc, state):
        return self.live(acc).getState().contains(state)

    def text(self, acc):
        text = self.live(acc).queryText()
        return text.getText(0, -1)

    def key(self, *keys):
        subprocess.run(["xdotool", "key", "--clearmodifiers", "--delay", "60"] + list(keys), check=True, timeout=20)
        time.sleep(0.3)
        if os.environ.get("QPT_A11Y_DEBUG"):
            shown = [(w.getRoleName(), w.name) for w in self.windows()]
            now = [self.focused(w) for w in self.windows()]
            print("after %s: windows %s, focus %s" % (keys, shown, [(f.getRoleName(), f.name) for f in now if f]))

    @staticmethod
    def type(text):
        subprocess.run(["xdotool", "type", "--delay", "8", text], check=True, timeout=30)
        time.sleep(0.2)

    def x_windows(self):
        """The program's X windows that are mapped: a menu counts too, which the bus lists not."""
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(self.pid)], timeout=10,
                               capture_output=True, text=True).stdout.split()
        return len(found)

    def menu(self, *keys):
        """Opens a menu with keys and waits until it is shown, so that what follows goes to it."""
        before = self.x_windows()
        self.key(*keys)
        wait_for("a menu opening on %s" % (keys,), lambda: self.x_windows() > before, 10)

    def close(self, dialog, *keys):
        """Keys that end a dialog; then the focus goes back to the window."""
        self.key(*keys)
        wait_for("the dialog's close", lambda: dialog not in self.windows(), 15)
        self.focus_under_pointer()  # no window manager gives it back

    @staticmethod
    def focus_under_pointer():
        # No window manager runs: the X focus goes to the top window at the screen's centre,
        # where the window and its dialogs open.
        subprocess.run(["xdotool", "mousemove", "640", "512"], check=True, timeout=10)
        out = subprocess.run(["xdotool", "getmouselocation", "--shell"], check=True, timeout=10,
                             capture_output=True, text=True).stdout
        m = re.search(r"WINDOW=(\d+)", out)
        if m:
            subprocess.run(["xdotool", "windowfocus", m.group(1)], timeout=10)
        time.sleep(0.3)


def wait_for(what, condition, timeout, explain=lambda: ""):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            if condition():
                return
        except Failure:
            pass
        time.sleep(0.25)
    raise Failure("%s did not happen within %d s. %s" % (what, timeout, explain()))


def check_names(win, window, lang, where):
    """Every control of window has a name and a description, written in the language lang."""
    problems = []
    russian = lang == "Русский"
    checked = 0
    for acc in win.controls(window):
        role = acc.getRoleName()
        name, description = acc.name or "", acc.description or ""
        checked += 1
        if os.environ.get("QPT_A11Y_DEBUG"):
            print("  %s %r: %r" % (role, name, description))
        if not name.strip():
            problems.append("%s: a %s without a name (description %r)" % (where, role, description))
            continue
        if not description.strip():
            problems.append("%s: %s %r has no description" % (where, role, name))
        said = [("description", description)]
        # A combo box's name on this platform is its current value (a patch's title, a track's
        # name); the label it is known by comes with the relation to its label.
        if acc.getRole() != win.at.ROLE_COMBO_BOX:
            said.append(("name", name))
        for label, value in said:
            cyrillic = re.search("[А-Яа-яЁё]", value) is not None
            if value and cyrillic != russian:
                problems.append("%s: %s %r: its %s %r is not in %s" % (where, role, name, label, value, lang))
    if checked < 5:
        problems.append("%s: only %d controls were found" % (where, checked))
    print("%s (%s): %d controls checked" % (where, lang, checked))
    return problems


def dialog_opened(win, before):
    new = []

    def appeared():
        new[:] = [w for w in win.windows() if w not in before]
        return bool(new)

    wait_for("a dialog opening", appeared, 15)
    win.focus_under_pointer()
    return new[-1]


def inside(mode, window_program, fixture):
    work = tempfile.mkdtemp(prefix="qpt-a11y-")
    proc = None
    output = os.path.join(work, "window.out")
    try:
        built = subprocess.run([fixture, window_program, work], timeout=60, capture_output=True, text=True)
        if built.returncode != 0:
            raise Failure("the fixture failed: " + built.stderr)
        program = os.path.join(work, "app", os.path.basename(window_program))
        image = os.path.join(work, "game.cxi")
        new_image = os.path.join(work, "out", "patched")
        os.makedirs(os.path.dirname(new_image))
        env = dict(os.environ, QT_QPA_PLATFORM="xcb", QT_ACCESSIBILITY="1", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                   LC_ALL="en_US.UTF-8", LANG="en_US.UTF-8")
        with open(output, "wb") as out:
            proc = subprocess.Popen([program], env=env, stdout=out, stderr=subprocess.STDOUT)
        win = Window(program, proc.pid)
        win.find_app(30)
        en, ru = lang_texts("English"), lang_texts("Русский")
        wait_for("the main window showing", lambda: len(win.windows()) == 1, 20)
        main = win.windows()[0]
        win.focus_under_pointer()
        log = win.find(main, en["A11yLogName"])

        def log_text():
            try:
                return "The log says:\n" + win.text(log)
            except Exception as e:
                return "The log could not be read: %s" % e

        problems = []
        if mode == "names":
            problems += check_names(win, main, "English", "main window at start")

        # Step 1: the label's mnemonic presses its "..." button, which opens Qt's file dialog,
        # where the path is typed.
        before = win.windows()
        win.key("alt+1")
        dialog = dialog_opened(win, before)
        win.type(image)
        win.close(dialog, "Return")
        choose_output = win.find(main, en["A11yChooseOutputName"])
        wait_for("the image's identification", lambda: win.state(choose_output, win.at.STATE_SENSITIVE), 30, log_text)

        # Step 2: its menu goes by arrows; the first item is a new image.
        win.menu("alt+2")
        win.key("Down", "Return")
        dialog = dialog_opened(win, before)
        win.key("ctrl+a")
        win.type(new_image)
        win.close(dialog, "Return")
        patch_box = win.find(main, None, win.at.ROLE_COMBO_BOX, en["A11yPatchDesc"])
        wait_for("the patch list", lambda: win.state(patch_box, win.at.STATE_SENSITIVE), 20, log_text)

        # Step 3: the patch, by arrow in the closed list; then a voice set by its mnemonic.
        win.key("alt+3")
        win.key("Down")
        install = win.find(main, plain(en["BTNInstallPatch"]))
        wait_for("the patch's choice", lambda: win.state(install, win.at.STATE_SENSITIVE), 20, log_text)
        win.key("alt+j")
        voice = win.find(main, plain(en["VoiceButton2"]), win.at.ROLE_RADIO_BUTTON)
        wait_for("the voice set's choice", lambda: win.state(voice, win.at.STATE_CHECKED), 10, log_text)

        if mode == "keyboard":
            # Tab from the language box goes through the steps in order, then to the texts (the
            # description keeps the focus while Tab goes through its links).
            win.key("alt+l")
            chain = []
            for _ in range(16):
                win.key("Tab")
                now = win.focused(main)
                said = now.description if now is not None else None
                if not chain or chain[-1] != said:
                    chain.append(said)
                if said == en["A11yLogDesc"]:
                    break
            expected = [en[key] for key in ("A11yImageDesc", "A11yChooseImageDesc", "A11yOutputDesc",
                                            "A11yChooseOutputDesc", "A11yPatchDesc", "A11yOpenPatchFolderDesc",
                                            "A11yVoiceDesc", "A11yCheckImageDesc", "A11yMusicChangeDesc",
                                            "A11yInstallDesc", "A11yDescriptionDesc", "A11yLogDesc")]
            if chain != expected:
                problems.append("Tab went through %s, not %s" % (chain, expected))
            # Step 2's button, reached by Tab, opens its menu on Enter and on Space; the arrows
            # choose the mod folder (whose folder dialog opens, no card being found) or a new
            # image (the save dialog). Escape closes either and keeps what was chosen.
            for opener, item in (("Return", ["Down", "Down"]), ("space", ["Down"])):
                win.key("alt+l", "Tab", "Tab", "Tab", "Tab")
                before = win.windows()
                try:
                    win.menu(opener)
                    win.key(*item, "Return")
                    win.close(dialog_opened(win, before), "Escape")
                except Failure as e:
                    problems.append("Step 2 by %s and %s: %s" % (opener, item, e))
                    win.focus_under_pointer()
            wait_for("the install button after Step 2's dialogs", lambda: win.state(install, win.at.STATE_SENSITIVE), 10,
                     log_text)

        # The music dialog: the grid has the focus, arrows choose a scene, Space opens its
        # track list, Return takes a track; the mnemonic saves (names: Escape discards).
        before = win.windows()
        win.key("alt+m")
        dialog = dialog_opened(win, before)
        if mode == "names":
            problems += check_names(win, dialog, "English", "music dialog")
        grid = win.find(dialog, en["A11yMusicGridName"], win.at.ROLE_TABLE)
        wait_for("the grid's focus", lambda: win.state(grid, win.at.STATE_FOCUSED), 10)
        win.key("Down")
        win.menu("space")  # the track list
        win.key("Down", "Return")
        chosen = win.focused(dialog)  # the track box, named by its value as combo boxes are here
        chosen_track = chosen.name if chosen is not None and chosen.getRole() == win.at.ROLE_COMBO_BOX else None
        win.close(dialog, "alt+s" if mode == "keyboard" else "Escape")

        if mode == "names":
            # The language box by its mnemonic and arrows: every name follows the language. The
            # box lists the files in lang/ sorted by name, letter case aside.
            names = sorted((f[:-4] for f in os.listdir(LANG_DIR) if f.lower().endswith(".lng")), key=str.casefold)
            win.key("alt+l")
            win.key(*["Down"] * (names.index("Русский") - names.index("English")))
            wait_for("the switch to Russian", lambda: win.find(main, None, win.at.ROLE_COMBO_BOX, ru["A11yLanguageDesc"]), 10)
            problems += check_names(win, main, "Русский", "main window in Russian")
            music = win.find(main, plain(ru["BTNMusicChange"]))
            music.queryComponent().grabFocus()
            win.key("space")
            dialog = dialog_opened(win, before)
            problems += check_names(win, dialog, "Русский", "music dialog in Russian")
            win.close(dialog, "Escape")
        else:
            win.key("alt+i")
            success = plain(en["PatchingSuccessful"])
            failed = en["InstallFailedNothingWritten"]

            def ended():
                text = win.text(log)
                if failed in text:
                    raise Failure("the installation failed. " + log_text())
                return success in text

            deadline = time.monotonic() + 75
            while not ended():
                if time.monotonic() > deadline:
                    raise Failure("no success line within 75 s. " + log_text())
                time.sleep(0.5)
            receipt = new_image + ".cia.txt"
            if not os.path.exists(receipt):
                problems.append("the log says success, but there is no receipt at %s" % receipt)
            else:
                with open(receipt, encoding="utf-8-sig", errors="replace") as f:
                    if not chosen_track or chosen_track not in f.read():
                        problems.append("the track chosen by keys (%r) is not in the receipt" % chosen_track)
            print("installed by keyboard: the log ends with the success line")

        if problems:
            raise Failure("\n".join(problems))
        return 0
    except Exception as e:  # whatever stopped the run, the window's output says more
        print("FAIL: %s" % (e if isinstance(e, Failure) else traceback.format_exc()))
        if os.path.exists(output):
            with open(output, errors="replace") as f:
                window_says = f.read().strip()
            if window_says:
                print("The window's own output:\n" + window_says[-3000:])
        return 1
    finally:
        if proc is not None and proc.poll() is None:
            proc.kill()
            proc.wait()
        shutil.rmtree(work, ignore_errors=True)


def main(argv):
    if len(argv) != 3 or argv[0] not in ("names", "keyboard"):
        print(__doc__)
        return 2
    if os.environ.get("QPT_A11Y_INSIDE") == "1":
        return inside(*argv)
    return outside(argv)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
