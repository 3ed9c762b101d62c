"""Editing workbook modules over the wire: a saved helper takes effect in
every module built on it, modules that do not depend on it keep their state,
the editor's diagnostics follow; and console code that awaits at top level."""

import textwrap
import uuid

import pytest

from kernel_wire import BusinessLayer

WB = "wb-edits"


@pytest.fixture(scope="module")
def bl():
    layer = BusinessLayer(WB)
    yield layer
    layer.close()


def rid():
    return uuid.uuid4().hex[:10]


def names(*roles):
    """Module names of the test's own, so that tests never share modules."""
    tag = rid()
    return [f"{role}_{tag}" for role in roles]


def save(bl, name, code):
    bl.request({"type": "update_module", "module_name": name, "code": textwrap.dedent(code)}, "module_updated",
               module_name=name)


def call(bl, module, function, *args):
    """The function_execution_result of a custom function call."""
    r = rid()
    bl.send({"type": "custom_function_call", "module_name": module, "function_name": function, "request_id": r,
             "args": [{"type": "Int", "value": a, "isSpec": False} for a in args]})
    return bl.expect("function_execution_result", request_id=r)


def value(bl, module, function, *args):
    reply = call(bl, module, function, *args)
    assert reply["status"] == "success", reply
    return reply["result"]["value"]


# --- edits reach every importer ---

@pytest.mark.parametrize("shape, kit_loaded_first", [
    ("import {kit}\ndef price(x):\n    return x * {kit}.RATE\n", False),
    ("import {kit}\ndef price(x):\n    return x * {kit}.RATE\n", True),
    ("from {kit} import RATE\ndef price(x):\n    return x * RATE\n", True),
    ("import importlib\nkit = importlib.import_module('{kit}')\ndef price(x):\n    return x * kit.RATE\n", True),
    # A chain of three: main imports mid, which imports kit.
    ("import {mid}\ndef price(x):\n    return x * {mid}.RATE\n", False),
])
def test_a_saved_helper_takes_effect_in_every_importer(bl, shape, kit_loaded_first):
    kit, mid, main = names("kit", "mid", "main")
    save(bl, kit, "RATE = 2\n")
    save(bl, mid, f"from {kit} import RATE\n")
    save(bl, main, shape.format(kit=kit, mid=mid))
    if kit_loaded_first:  # main's import then finds kit in sys.modules
        assert bl.execute(f"import {kit}", rid())[1]["success"]
    assert value(bl, main, "price", 10) == 20
    save(bl, kit, "RATE = 3\n")
    assert value(bl, main, "price", 10) == 30
    bl.wait_for_log(f"[InMemoryModuleLoader] Removed '{main}' from sys.modules: it depends on '{kit}'")


def test_deleting_a_helper_fails_the_importers_next_call(bl):
    kit, main = names("kit", "main")
    save(bl, kit, "RATE = 2\n")
    save(bl, main, f"import {kit}\ndef price(x):\n    return x * {kit}.RATE\n")
    assert value(bl, main, "price", 10) == 20
    bl.request({"type": "delete_module", "module_name": kit}, "module_deleted")
    failed = call(bl, main, "price", 10)
    assert failed["status"] == "error"
    assert failed["error"].rstrip().endswith(f"ModuleNotFoundError: No module named '{kit}'")


def test_only_importers_of_a_changed_text_run_again(bl):
    kit, main, other = names("kit", "main", "other")
    stateful = "import random\n{imports}\nSEED = random.random()\ndef seed():\n    return SEED\n"
    save(bl, kit, "RATE = 2\n")
    save(bl, main, stateful.format(imports=f"import {kit}"))
    save(bl, other, stateful.format(imports=""))
    seeds = [call(bl, module, "seed")["result"] for module in (main, other)]
    save(bl, kit, "RATE = 2\n")  # the same text again
    assert [call(bl, module, "seed")["result"] for module in (main, other)] == seeds
    assert not bl.logs_matching(f"Removed '{main}'")
    save(bl, kit, "RATE = 3\n")
    main_seed, other_seed = [call(bl, module, "seed")["result"] for module in (main, other)]
    assert main_seed != seeds[0] and other_seed == seeds[1]


def test_modules_that_import_in_a_cycle_or_themselves_are_evicted_once(bl):
    a, b = names("a", "b")
    save(bl, a, f"import {a}\nimport {b}\ndef value():\n    return {b}.VALUE\n")
    save(bl, b, f"import {a}\nVALUE = 1\n")
    assert value(bl, a, "value") == 1
    save(bl, b, f"import {a}\nVALUE = 2\n")
    assert value(bl, a, "value") == 2
    assert len(bl.wait_for_log(f"Removed '{a}' from sys.modules: it depends on '{b}'")) == 1


# --- the editor's diagnostics follow ---

def test_diagnostics_of_an_importer_follow_its_helper(bl):
    kit, main = names("kit", "main")
    code = f"import {kit}\nfrom {kit} import RATE\n\ndef price(x):\n    return x * {kit}.RATE * RATE\n"

    def diagnosed():
        reply = bl.request({"type": "diagnostic_request", "code": code, "module_name": main, "request_id": rid()},
                           "diagnostic_response")
        return [(m["startLineNumber"], m["startColumn"], m["message"]) for m in reply["diagnostics"]]

    save(bl, kit, "RATE = 2\n")
    assert diagnosed() == []
    save(bl, kit, "OTHER = 2\n")
    assert diagnosed() == [(2, 14 + len(kit), f"cannot import name 'RATE' from '{kit}'"),
                           (5, 17 + len(kit), f"module '{kit}' has no attribute 'RATE'")]
    bl.request({"type": "delete_module", "module_name": kit}, "module_deleted")
    assert [message for _, _, message in diagnosed()] == [f"import '{kit}' could not be resolved"] * 2


# --- top-level await in the console ---

GATHER = """\
log = []
async def nap(n):
    log.append(('start', n))
    await asyncio.sleep(0.2)
    log.append(('end', n))
await asyncio.gather(nap(0), nap(1)); log"""


@pytest.mark.parametrize("code, result, output", [
    ("await asyncio.sleep(0, result=42)", "42", ""),
    ("data = await asyncio.sleep(0, result=[1, 2]); data + [3]", "[1, 2, 3]", ""),
    ("print('before'); await asyncio.sleep(0); print('after')", None, "before\nafter\n"),
    # Plain statements beside the awaits run on the same loop.
    ("task = asyncio.create_task(asyncio.sleep(0, result='done')); await task", "'done'", ""),
    # Two sleeps overlap: both start before either ends.
    (GATHER, "[('start', 0), ('start', 1), ('end', 0), ('end', 1)]", ""),
])
def test_top_level_await_runs_like_other_code(bl, code, result, output):
    assert bl.execute("import asyncio", rid())[1]["success"]
    messages, reply = bl.execute(code, rid())
    assert reply["success"] and reply["result"] == result
    assert "".join(m["content"] for m in messages if m["type"] == "stdout") == output
    outs = [m["content"] for m in messages if m["type"] == "result_output"]
    assert outs == ([] if result is None else [f"Out: {result}\n"])


def test_top_level_await_failure_starts_at_the_users_line(bl):
    code = "import asyncio\nawait asyncio.sleep(0)\nraise ValueError('after the nap')"
    error = bl.execute(code, rid())[1]["error"]
    assert (error["type"], error["message"]) == ("ValueError", "after the nap")
    assert error["traceback"].splitlines() == [
        "Traceback (most recent call last):",
        '  File "<string>", line 3, in <module>',
        "ValueError: after the nap",
    ]
