"""What the stand-in reads from a module's source without running it."""

import ast
import functools


def is_generator_function(source, function_name):
    """True when the module defines ``function_name`` at top level as a generator function.

    A cell formula calling such a function streams its values instead of
    waiting for a single result. Source that does not parse, or a name
    bound some other way, counts as an ordinary function.
    """
    try:
        tree = ast.parse(source or "")
    except (SyntaxError, ValueError):
        return False
    found = False
    for node in tree.body:
        if isinstance(node, ast.FunctionDef) and node.name == function_name:
            found = _yields(node)  # the last definition wins, as at run time
        elif isinstance(node, (ast.AsyncFunctionDef, ast.ClassDef)) and node.name == function_name:
            found = False
    return found


def _yields(function):
    """Whether the function's own body yields (nested functions and classes do not count)."""
    pending = list(function.body)
    while pending:
        node = pending.pop()
        if isinstance(node, (ast.Yield, ast.YieldFrom)):
            return True
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda, ast.ClassDef)):
            continue
        pending.extend(ast.iter_child_nodes(node))
    return False


@functools.lru_cache(maxsize=256)
def imported_modules(source):
    """The modules the source imports anywhere in it, by statement or by
    ``importlib.import_module`` of a literal name.

    The kernel runs a module that imports a saved module again at its next
    call; the add-in uses this to know which formulas a save changes.
    Relative imports and source that does not parse name nothing.
    """
    try:
        tree = ast.parse(source or "")
    except (SyntaxError, ValueError):
        return frozenset()
    found = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module and not node.level:
            found.add(node.module)
        elif (isinstance(node, ast.Call) and isinstance(node.func, ast.Attribute)
              and node.func.attr == "import_module" and node.args
              and isinstance(node.args[0], ast.Constant) and isinstance(node.args[0].value, str)):
            found.add(node.args[0].value)
    return frozenset(found)
