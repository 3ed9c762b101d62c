"""End to end: the stand-in as ``make run`` starts it, a real kernel, and its page in headless Chromium.

Each test opens the page for a workbook of its own (so a kernel of its
own) and leaves a screenshot in the folder printed at the start.
"""

import os
import re

import pytest
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.actions.action_builder import ActionBuilder
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

from standin_browser import REPO, Page, StandIn, new_browser

pytestmark = pytest.mark.timeout(180)

SCREENSHOTS = os.path.join(REPO, "build", "standin-screenshots")


@pytest.fixture(scope="module")
def standin(request):
    os.makedirs(SCREENSHOTS, exist_ok=True)
    reporter = request.config.pluginmanager.get_plugin("terminalreporter")
    if reporter is not None:
        reporter.write_line(f"\nscreenshots of the code editor page: {SCREENSHOTS}")
    running = StandIn()
    yield running
    status = running.stop()
    assert status == 0, "".join(running.lines)
    assert "Shutting down..." in "".join(running.lines)


@pytest.fixture(scope="module")
def driver():
    browser = new_browser()
    yield browser
    browser.quit()


@pytest.fixture
def page(standin, driver, request):
    workbook = re.sub(r"[^A-Za-z0-9.-]", "-", request.node.name.replace("test_", "", 1))[:60]
    opened = Page(driver, standin.page_url(workbook))
    opened.wait_ready()
    yield opened
    opened.screenshot(SCREENSHOTS, request.node.name)


def test_code_typed_in_the_console_runs_and_its_output_shows(page):
    page.run_in_console('print("hello from the kernel"); 6 * 7')
    page.wait(lambda p: "hello from the kernel" in p.output_text() and "Out: 42" in p.output_text(),
              "the printed line and the result")
    page.run_in_console("1 / 0")
    page.wait(lambda p: "ZeroDivisionError: division by zero" in p.output_text(), "the traceback")


def test_code_reads_and_writes_the_workbook_and_the_grid_follows(page):
    page.run_in_console('rng = context.workbook.worksheets.getItem("Sheet1").getRange("A1:B2")')
    page.wait(lambda p: p.js("return document.querySelectorAll('#output .block.ok').length") == 1, "the first run")
    page.run_in_console("rng.values = [[1, 'two'], [3.5, True]]")
    page.wait(lambda p: [p.cell(a).text for a in ("A1", "B1", "A2", "B2")] == ["1", "two", "3.5", "TRUE"],
              "the written values in the grid")
    page.enter_cell("B2", "99")
    page.run_in_console("[list(row) for row in rng.values]")
    page.wait(lambda p: "Out: [[1, 'two'], [3.5, 99]]" in p.output_text(), "the values read back")


def suggestions(page):
    return [row.text for row in page.driver.find_elements(By.CSS_SELECTOR, ".suggest-widget .monaco-list-row")]


def test_typing_in_a_module_offers_completions(page):
    page.put_cursor_at_end()
    ActionChains(page.driver).send_keys("import math").perform()
    page.wait(lambda p: any(text.startswith("math") for text in suggestions(p)), "the completion list with math")
    ActionChains(page.driver).send_keys(Keys.ENTER, "math.sq").perform()  # Enter: a new line, as "math" is typed
    page.wait(lambda p: p.js("return window.standinPage.editor.code()") == "import math\nmath.sq", "the typed text")
    page.wait(lambda p: any("sqrt" in text for text in suggestions(p)), "the completion list with sqrt")


def test_the_editor_shows_diagnostics_hover_and_signature_help(page):
    page.set_module("import nosuchmodule_xyz\n\ndef triple(x):\n    \"\"\"Three times x.\"\"\"\n    return x * 3\n\n")
    page.wait(lambda p: p.js("return window.standinPage.monaco.editor.getModelMarkers({})"
                             ".some(m => m.message.includes(\"'nosuchmodule_xyz' could not be resolved\"))"),
              "the unresolved-import marker")
    page.put_cursor_at_end()
    ActionChains(page.driver).send_keys("triple(").perform()
    page.wait(lambda p: "triple(x)" in p.driver.find_element(By.CSS_SELECTOR, ".parameter-hints-widget").text,
              "the parameter hint")
    ActionChains(page.driver).send_keys(Keys.ESCAPE, "2)").perform()

    page.hover(lambda p: p.js("""
                   const line = [...document.querySelectorAll('#editor .view-line')]
                     .find(l => l.textContent.startsWith('triple(2)'));
                   return line && [...line.querySelectorAll('span span')].find(s => s.textContent === 'triple');"""),
               "(function) triple(x)", "the compact hover")


def test_a_module_function_in_a_cell_formula_gives_the_cell_its_value(page):
    page.set_module("def triple(x):\n    return x * 3\n")
    page.enter_cell("A1", "14")
    page.enter_cell("B1", "=main.triple(A1)")
    page.wait(lambda p: p.cell("B1").text == "42", "B1 to show 42")
    page.enter_cell("A1", "5")
    page.wait(lambda p: p.cell("B1").text == "15", "B1 to follow A1")


def test_a_streaming_function_updates_its_cell_as_it_yields(page):
    page.set_module(
        "import time\n\n"
        "def ticker(n):\n"
        "    for i in range(n):\n"
        "        time.sleep(0.3)\n"
        "        yield i * 10\n"
    )
    page.record_cell("C3")
    page.enter_cell("C3", "=main.ticker(5)")
    page.wait(lambda p: p.cell("C3").text == "40" and "streaming" not in p.cell("C3").get_attribute("class"),
              "the stream to end at 40")
    values = [text for text in page.cell_history() if text not in ("", "#BUSY!")]
    assert values == ["0", "10", "20", "30", "40"]


def test_removing_a_streaming_formula_stops_the_stream(page):
    page.set_module("import itertools, time\n\ndef forever():\n    for i in itertools.count():\n"
                    "        time.sleep(0.1)\n        yield i\n")
    page.enter_cell("D1", "=main.forever()")
    page.wait(lambda p: p.cell("D1").text.isdigit() and int(p.cell("D1").text) >= 2, "the stream to run")
    page.enter_cell("D1", "stopped")
    page.wait(lambda p: "D1 =main.forever(): the stream stopped." in p.output_text(),
              "the kernel to confirm the stream stopped")
    assert page.cell("D1").text == "stopped"
    page.wait(lambda p: p.driver.find_element(By.XPATH, "//div[contains(@class, 'block')][contains(., 'the stream stopped')]")
              .get_attribute("class") == "block stopped", "the stream's block to say it stopped")


def test_a_breakpoint_stops_the_debugged_function_at_its_line(page):
    page.set_module("def add(a, b):\n    total = a + b\n    doubled = total * 2\n    return doubled\n")
    page.element("run").click()  # saves the module; the menu now lists add()
    page.wait(lambda p: "add" in [o.get_attribute("value") for o in
                                  p.driver.find_elements(By.CSS_SELECTOR, "#run-target option")], "add in the menu")
    page.put_cursor_at_end()
    cursor = page.js("return window.standinPage.editor.editor.getSelection()")
    page.click_line_number(3)
    page.wait(lambda p: p.js("return window.standinPage.editor.breakpoints()") == [{"module": "main", "line": 3}],
              "the breakpoint on line 3")
    assert page.js("return window.standinPage.editor.editor.getSelection()") == cursor
    page.click(lambda p: p.driver.find_element(By.CSS_SELECTOR, '#run-target option[value="add"]'), "add in the menu")
    page.element("run-args").send_keys("[2, 3]")
    page.element("debug").click()
    page.wait(lambda p: p.element("debug-location").text.startswith("Paused at main:3"), "the pause at line 3")
    # The editor draws its decorations on a later frame than the panel's text.
    page.wait(lambda p: p.js("return window.standinPage.editor.editor.getModel().getLineDecorations(3)"
                             ".some(d => d.options.className === 'paused-line')")
              and p.driver.find_elements(By.CSS_SELECTOR, "#editor .paused-line")
              and "total" in p.element("debug-locals").text, "line 3 marked paused, with its locals")
    page.element("evaluate-input").send_keys("total * 10", Keys.ENTER)
    page.wait(lambda p: "total * 10 = 50" in p.element("evaluate-results").text, "the evaluation")
    page.screenshot(os.path.join(REPO, "build", "standin-screenshots"), "paused-at-breakpoint")
    page.element("debug-continue").click()
    page.wait(lambda p: "Out: 10" in p.output_text() and "Debug session ended." in p.output_text(),
              "the run to finish")
    page.wait(lambda p: not p.driver.find_elements(By.CSS_SELECTOR, "#editor .paused-line"),
              "the paused line to be unmarked")


def test_kept_objects_and_message_boxes_reach_the_page(page):
    page.run_in_console('tarvex._kernel_instance.save_object("answer", 42)')
    page.wait(lambda p: "answer int 42" in p.element("registry").text, "the kept object in the registry panel")
    page.run_in_console('tarvex._kernel_instance.show_message_box("All done", "Report")')
    page.wait(lambda p: p.element("message-box").is_displayed() and p.element("message-box-title").text == "Report",
              "the message box")
    assert page.element("message-box-text").text == "All done"
    page.element("message-box-ok").click()


def test_a_page_without_the_token_is_refused(standin, driver, request):
    page = Page(driver, standin.url.split("?")[0])
    page.wait(lambda p: "missing or wrong token" in p.element("connection-note").text, "the refusal")
    page.screenshot(SCREENSHOTS, request.node.name)


def test_a_one_character_marker_marks_its_whole_word(page):
    page.set_module("total = undefined_thing + 1\n")
    marker = page.wait(lambda p: p.js("return window.standinPage.monaco.editor.getModelMarkers({})"
                                      ".find(m => m.message === \"undefined name 'undefined_thing'\")"),
                       "the undefined-name marker")
    assert (marker["startColumn"], marker["endColumn"]) == (9, 24)

    def hovering_its_last_letter_shows_the_message(p):
        x, y = p.js("""const editor = window.standinPage.editor.editor;
                       const at = editor.getScrolledVisiblePosition({lineNumber: 1, column: 23});
                       const box = editor.getDomNode().getBoundingClientRect();
                       return [box.left + at.left + 3, box.top + at.top + at.height / 2];""")
        move = ActionBuilder(p.driver)
        move.pointer_action.move_to_location(int(x), int(y))
        move.perform()
        return "undefined name 'undefined_thing'" in p.driver.find_element(By.CSS_SELECTOR, ".monaco-hover").text

    page.wait(hovering_its_last_letter_shows_the_message, "the marker's hover")


def test_a_debug_run_that_raises_ends_failed_and_clears_the_debugger_tab(page):
    page.set_module("def boom(x):\n    y = x + 1\n    raise ValueError(y)\n")
    page.element("run").click()
    page.wait(lambda p: p.driver.find_elements(By.CSS_SELECTOR, '#run-target option[value="boom"]'), "boom in the menu")
    page.click_line_number(2)
    page.click(lambda p: p.driver.find_element(By.CSS_SELECTOR, '#run-target option[value="boom"]'), "boom in the menu")
    page.element("run-args").send_keys("[1]")
    page.element("debug").click()
    page.wait(lambda p: "boom" in p.element("debug-stack").text and "x" in p.element("debug-locals").text,
              "the pause with its stack and locals")
    page.element("debug-continue").click()
    page.wait(lambda p: p.element("debug-location").text == "Not debugging.", "the session to end")
    block = page.wait(lambda p: p.driver.find_element(By.XPATH, "//div[contains(@class, 'block failed')]"
                                                      "[contains(., 'Debug main.boom(1)')][contains(., 'ValueError: 2')]"),
                      "the debug run's block to fail with its exception")
    assert block.get_attribute("class") == "block failed"
    page.wait(lambda p: p.element("debug-stack").text == "" and p.element("debug-locals").text == "",
              "the debugger tab to be cleared")


def test_a_module_that_fails_to_import_shows_its_traceback_once_from_the_users_code(page):
    page.set_module("def f():\n    return 1\n\nraise ValueError('at import')\n")
    page.element("run").click()
    page.wait(lambda p: p.driver.find_elements(By.CSS_SELECTOR, '#run-target option[value="f"]'), "f in the menu")
    page.click(lambda p: p.driver.find_element(By.CSS_SELECTOR, '#run-target option[value="f"]'), "f in the menu")
    page.element("run").click()
    page.wait(lambda p: p.driver.find_elements(By.XPATH, "//div[contains(@class, 'block failed')][contains(., 'main.f(')]"),
              "the run of f to fail")
    block = page.driver.find_element(By.XPATH, "//div[contains(@class, 'block failed')][contains(., 'main.f(')]")
    assert block.text.count("ValueError: at import") == 1
    assert "importlib" not in block.text and 'File "<virtual:main>", line 4' in block.text


SPILL_MODULE = ("import pandas as pd\n\n"
                "def table(n):\n"
                "    return pd.DataFrame({f'c{j}': range(j, 10 * n, 10) for j in range(10)})\n")


@pytest.mark.timeout(600)
@pytest.mark.parametrize("rows", [100, 2_000, 100_000])
def test_a_spilled_table_shows_every_row(page, rows, request):
    """Every row of the table (under its header row) can be scrolled to, and the page answers
    clicks; the time the page spends on the table is reported (by design, not asserted)."""
    page.set_module(SPILL_MODULE)
    page.watch_main_thread()
    page.enter_cell("A1", f"=main.table({rows})")
    last = f"J{rows + 1}"

    def last_row_shown(p):
        p.scroll_grid_to_end()
        return p.cell(last).text == str(10 * rows - 1) and p.cell(f"J{rows + 2}").text == ""

    page.wait(last_row_shown, "the last row at the end of the grid", timeout=300)
    page.click(lambda p: p.cell(f"J{rows}"), f"cell J{rows}")
    page.wait(lambda p: p.element("cell-address").text == f"J{rows}", "the page to answer a click", timeout=10)

    recalculated = page.figures()["now"]
    page.element("recalculate").click()
    page.wait(lambda p: len(p.figures()["spills"]) == 2 and "shown" in p.figures()["spills"][1],
              "the recalculated table", timeout=300)
    page.wait(last_row_shown, "the last row after the recalculation")
    figures = page.figures()
    busy = max([duration for start, duration in figures["longTasks"] if start >= recalculated], default=0)
    drawing = max(duration for start, duration in figures["draws"] if start >= recalculated)
    first, again = figures["spills"]
    reporter = request.config.pluginmanager.get_plugin("terminalreporter")
    if reporter is not None:
        reporter.write_line(
            f"\n{rows} x 10 spill: message {first['chars'] / 1e6:.1f} MB, handled in {first['handled']:.0f} ms, "
            f"drawn {first['shown']:.0f} ms after arriving; recalculation: handled in {again['handled']:.0f} ms, "
            f"drawn after {again['shown']:.0f} ms, longest frame {drawing:.0f} ms, "
            f"longest task {busy:.0f} ms (0: none over 50 ms)")


@pytest.mark.timeout(300)
def test_a_loop_that_prints_shows_its_last_lines_while_the_editor_takes_typing(page, request):
    """The page's longest task and how long after the reply the block turned green are reported,
    not asserted."""
    page.watch_main_thread()
    page.js("""
        window.figures.replied = null; window.figures.green = null;
        const socket = window.standinPage.connection.socket;
        const handle = socket.onmessage;
        socket.onmessage = (event) => {
          if (window.figures.replied === null && event.data.includes('"execution_result"'))
            window.figures.replied = performance.now();
          handle(event);
        };
        new MutationObserver(() => {
          if (window.figures.green === null && document.querySelector('#output .block.ok'))
            window.figures.green = performance.now();
        }).observe(document.getElementById('output'), {subtree: true, attributes: true, attributeFilter: ['class']});
    """)
    started = page.figures()["now"]
    page.run_in_console("for i in range(200000): print(i)")
    page.put_cursor_at_end()
    ActionChains(page.driver).send_keys("typed = 1").perform()
    page.wait(lambda p: p.js("return window.standinPage.editor.code()").endswith("typed = 1"), "the typed text")
    block = page.wait(lambda p: p.driver.find_element(By.CSS_SELECTOR, "#output .block.ok"), "the run to end",
                      timeout=120)
    page.wait(lambda p: block.text.rstrip().endswith("199999"), "the last line")
    # The note counts exactly the lines it stands for: the first line shown is the next one.
    hidden, first = re.search(r"… ([\d,]+) earlier lines not shown\n(\d+)\n", block.text).groups()
    assert int(hidden.replace(",", "")) == int(first) and 190_000 < int(first) < 199_000
    figures = page.figures()
    busy = max([duration for start, duration in figures["longTasks"] if start >= started], default=0)
    reporter = request.config.pluginmanager.get_plugin("terminalreporter")
    if reporter is not None:
        reporter.write_line(f"\n200,000 printed lines: reply {figures['replied'] - started:.0f} ms after the run "
                            f"started, block green {figures['green'] - figures['replied']:.0f} ms after the reply, "
                            f"longest task {busy:.0f} ms (0: none over 50 ms)")


def test_stop_on_a_running_console_block(page):
    """Stop, and Ctrl+C in the console, end a run with KeyboardInterrupt; its names stay."""
    page.run_in_console("x = 1")
    page.wait(lambda p: p.driver.find_elements(By.CSS_SELECTOR, "#output .block.ok"), "the first run")
    last_block = lambda p: p.driver.find_elements(By.CSS_SELECTOR, "#output .block")[-1]  # noqa: E731

    def interrupted(p, press):
        """Presses Stop (again, should the kernel have found nothing to stop yet) until the block fails."""
        block = last_block(p)
        if "failed" in block.get_attribute("class"):
            return block
        stop = block.find_element(By.CSS_SELECTOR, ".stop")
        if stop.is_enabled():
            press(stop)
        return False

    page.run_in_console("while True: x += 1")
    page.wait(lambda p: last_block(p).find_element(By.CSS_SELECTOR, ".stop").is_displayed(), "the Stop button")
    page.screenshot(SCREENSHOTS, "stop-button-on-a-running-block")
    block = page.wait(lambda p: interrupted(p, lambda stop: stop.click()), "Stop to end the loop")
    page.wait(lambda p: "KeyboardInterrupt" in block.text and not block.find_elements(By.CSS_SELECTOR, ".stop"),
              "the interrupted block's traceback, without its Stop button")

    page.run_in_console("while True: x += 1")
    box = page.element("console-input")
    block = page.wait(lambda p: interrupted(p, lambda stop: box.send_keys(Keys.CONTROL, "c")), "Ctrl+C to end the loop")
    page.wait(lambda p: "KeyboardInterrupt" in block.text and not block.find_elements(By.CSS_SELECTOR, ".stop"),
              "the interrupted block's traceback, without its Stop button")
    page.run_in_console("x > 1")
    page.wait(lambda p: "Out: True" in p.output_text(), "x to keep what the loops made of it")
