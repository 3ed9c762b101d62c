"""Drives the stand-in's page in headless Chromium for the end-to-end tests."""

import os
import re
import signal
import subprocess
import sys
import tempfile
import threading

from selenium import webdriver
from selenium.common.exceptions import (ElementClickInterceptedException, ElementNotInteractableException,
                                        JavascriptException, MoveTargetOutOfBoundsException,
                                        NoSuchElementException, StaleElementReferenceException,
                                        TimeoutException)
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
START_SECONDS = 60
WAIT_SECONDS = 30

class StandIn:
    """``python -m tarvex_master.standin`` in a process of its own, as ``make run`` starts it."""

    def __init__(self):
        self.process = subprocess.Popen(
            [sys.executable, "-m", "tarvex_master.standin", "--port", "0", "--workbook", "e2e-default"],
            cwd=REPO, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, bufsize=1,
        )
        self.lines = []
        self.url = None
        found = threading.Event()

        def read():
            for line in self.process.stdout:
                self.lines.append(line)
                match = re.search(r"(http://127\.0\.0\.1:\d+/\?token=\S+)", line)
                if match and self.url is None:
                    self.url = match.group(1)
                    found.set()
            found.set()

        threading.Thread(target=read, daemon=True).start()
        if not found.wait(START_SECONDS) or self.url is None:
            self.stop()
            raise RuntimeError("the stand-in printed no URL:\n" + "".join(self.lines))

    def page_url(self, workbook):
        return f"{self.url}&workbook={workbook}"

    def stop(self):
        """Ctrl-C, as a person ends it; the exit status."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.wait(START_SECONDS)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        return self.process.returncode


def new_browser():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", f"--user-data-dir={tempfile.mkdtemp(prefix='standin-chromium-')}",
                     "--window-size=1500,950"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # The browser is no part of the code under test: it runs without the
    # sanitizer runtimes that `make asan` preloads into the test processes.
    env = {key: value for key, value in os.environ.items() if key not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER, env=env), options=options)
    driver.set_page_load_timeout(WAIT_SECONDS)
    driver.set_script_timeout(WAIT_SECONDS)
    return driver


# What a probe meets on a page that has not drawn (or has just redrawn) what it looks for.
NOT_THERE_YET = (JavascriptException, NoSuchElementException, StaleElementReferenceException,
                 MoveTargetOutOfBoundsException, ElementNotInteractableException, ElementClickInterceptedException)


class Page:
    """The code editor page of one workbook."""

    def __init__(self, driver, url):
        self.driver = driver
        driver.get(url)

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def wait(self, condition, what, timeout=WAIT_SECONDS):
        """Waits until ``condition(page)`` is truthy and returns it; fails naming ``what``."""
        def probe(_):
            try:
                return condition(self)
            except NOT_THERE_YET:
                return False  # the editor and the grid redraw at will: look again
        try:
            return WebDriverWait(self.driver, timeout, poll_frequency=0.1).until(probe)
        except TimeoutException:
            raise AssertionError(f"waited {timeout} s for {what}; output panel:\n{self.output_text()}") from None

    def wait_ready(self):
        self.wait(lambda p: p.js("return !!(window.standinPage && window.standinPage.editor)"), "the editor")

        def connected(page):
            status = page.element("kernel-status")
            if status.text == "kernel: exited":
                raise AssertionError(f"the kernel did not start: {status.get_attribute('title')}")
            return status.text == "kernel: connected"

        self.wait(connected, "the kernel to connect")

    def element(self, element_id):
        return self.driver.find_element(By.ID, element_id)

    def output_text(self):
        try:
            return self.element("output").text
        except Exception:
            return "(no page)"

    def click(self, find, what):
        """Clicks the element ``find(page)`` returns, looking again until it is drawn and clickable."""
        def clicked(page):
            element = find(page)
            if element is None:
                return False
            element.click()
            return True

        self.wait(clicked, what)

    def hover(self, find, what_shows, what):
        """Moves the mouse over ``find(page)`` until the hover widget shows ``what_shows``."""
        def shown(page):
            element = find(page)
            if element is None:
                return False
            ActionChains(page.driver).move_to_element(element).perform()
            return what_shows in page.driver.find_element(By.CSS_SELECTOR, ".monaco-hover").text

        self.wait(shown, what)

    def run_in_console(self, code):
        box = self.element("console-input")
        self.click(lambda p: box, "the console input")
        box.send_keys(code)
        box.send_keys(Keys.ENTER)

    def set_module(self, code):
        """Replaces the text of the open module (left unsaved, as typing would)."""
        self.js("window.standinPage.editor.editor.getModel().setValue(arguments[0])", code)

    def put_cursor_at_end(self):
        """Focuses the editor with the cursor after the last character, ready for typing."""
        self.js("""const editor = window.standinPage.editor.editor;
                   const model = editor.getModel();
                   const line = model.getLineCount();
                   editor.setPosition({lineNumber: line, column: model.getLineMaxColumn(line)});
                   editor.focus();""")

    def click_line_number(self, number):
        """Clicks a line number in the editor's margin (looking again if the editor redrew it)."""
        def click(page):
            numbers = page.driver.find_elements(By.CSS_SELECTOR, "#editor .margin-view-overlays .line-numbers")
            found = next((e for e in numbers if e.text == str(number)), None)
            if found is not None:
                ActionChains(page.driver).click(found).perform()
            return found is not None

        self.wait(click, f"line number {number}")

    def cell(self, address):
        return self.driver.find_element(By.CSS_SELECTOR, f'#grid td[data-address="{address}"]')

    def enter_cell(self, address, text):
        self.click(lambda p: p.cell(address), f"cell {address}")
        box = self.element("cell-input")
        self.click(lambda p: box, "the cell input")
        # Select what is there and type over it, as a person does (clear() would
        # leave the box, and a live cell would fill it again before typing).
        box.send_keys(Keys.CONTROL, "a")
        box.send_keys(text if text else Keys.DELETE)
        box.send_keys(Keys.ENTER)

    def record_cell(self, address):
        """Starts keeping every text the cell shows, in order."""
        self.js("""
            const td = document.querySelector(`#grid td[data-address="${arguments[0]}"]`);
            window.cellHistory = [];
            new MutationObserver(() => {
              const last = window.cellHistory[window.cellHistory.length - 1];
              if (td.textContent !== last) window.cellHistory.push(td.textContent);
            }).observe(td, {childList: true, characterData: true, subtree: true});
        """, address)

    def cell_history(self):
        return self.js("return window.cellHistory")

    def scroll_grid_to_end(self):
        """Scrolls the grid to its bottom right corner."""
        self.js("const s = document.getElementById('grid-scroll'); s.scrollTo(s.scrollWidth, s.scrollHeight);")

    def watch_main_thread(self):
        """Starts keeping, in page time (ms): long tasks, how long each grid frame took to draw,
        and for each message carrying a spilled array its size, how long its handler took,
        and when the frame that drew it ended."""
        self.js("""
            window.figures = {longTasks: [], spills: [], draws: []};
            const grid = window.standinPage.grid;
            const draw = grid.draw.bind(grid);
            grid.draw = () => {
              const start = performance.now();
              draw();
              window.figures.draws.push([start, performance.now() - start]);
            };
            new PerformanceObserver((list) => {
              for (const task of list.getEntries()) window.figures.longTasks.push([task.startTime, task.duration]);
            }).observe({type: "longtask"});
            const socket = window.standinPage.connection.socket;
            const handle = socket.onmessage;
            socket.onmessage = (event) => {
              const arrived = performance.now();
              handle(event);
              if (!event.data.includes('"spill"')) return;
              const entry = {arrived, chars: event.data.length, handled: performance.now() - arrived};
              window.figures.spills.push(entry);
              requestAnimationFrame(() => setTimeout(() => { entry.shown = performance.now() - arrived; }));
            };
        """)

    def figures(self):
        return self.js("return Object.assign({now: performance.now()}, window.figures)")

    def screenshot(self, folder, name):
        path = os.path.join(folder, f"{name}.png")
        self.driver.save_screenshot(path)
        return path

    def console_errors(self):
        return [entry["message"] for entry in self.driver.get_log("browser") if entry["level"] == "SEVERE"]
