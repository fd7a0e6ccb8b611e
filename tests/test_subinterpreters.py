"""The module lives in one interpreter only: subinterpreters are refused."""

import json
import subprocess
import sys
import textwrap

import pytest

SCRIPT = textwrap.dedent("""
    import json, sys
    import _interpreters
    import ombrix

    code = "import sys; sys.path[:] = %r\\nimport ombrix" % (sys.path,)
    outcome = {}
    for name, config in [("legacy", "legacy"), ("legacy-again", "legacy"),
                         ("isolated", "isolated")]:
        interp = _interpreters.create(config)
        try:
            error = _interpreters.exec(interp, code)
        finally:
            _interpreters.destroy(interp)
        outcome[name] = None if error is None else [error.type.__name__, error.msg]

    index = ombrix.PyFlat(2)
    index.create([[3.0, 4.0], [0.0, 1.0]])
    outcome["main"] = index.search([0.0, 0.0], 2)
    outcome["same-module"] = sys.modules["ombrix"] is ombrix
    print(json.dumps(outcome))
""")


@pytest.mark.timeout(120)
def test_subinterpreters_are_refused():
    run = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True, timeout=100)
    assert run.returncode == 0, run.stderr
    outcome = json.loads(run.stdout.splitlines()[-1])
    # In a legacy interpreter the module's own initialisation runs and refuses.
    for name in ("legacy", "legacy-again"):
        kind, message = outcome[name]
        assert kind == "ImportError"
        assert "do not yet support subinterpreters" in message
    # An isolated interpreter refuses single-phase modules before that.
    assert outcome["isolated"][0] == "ImportError"
    assert outcome["main"] == [[1, 1.0], [0, 5.0]]
    assert outcome["same-module"] is True
