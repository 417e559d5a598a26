"""Threads and interpreters: calls from many threads at once, first use of the
constant tables included, give the single-threaded results; an import from a
sub-interpreter, or a second initialisation after the module was removed from
sys.modules, raises ImportError and leaves the process working."""

import json
import os
import textwrap

import pytest
import quillet_python_sdk as q

THREADS = 8
ROUNDS = 3
TESTS_DIR = os.path.dirname(os.path.abspath(__file__))

# The calls of one thread, as (function name, arguments); a thread's verify
# calls check the signature it made just before. Each thread starts with a
# different kind of call, so the first users of both tables race.
WORKLOAD = textwrap.dedent(
    """
    import json, sys
    sys.path.insert(0, {tests_dir!r})
    import quillet_python_sdk as q
    from samples import text

    KINDS = ["transfer", "withdraw", "limit_order", "liquidate", "signed_oracle_price"]

    def run(t):
        key = q.private_key_from_seed("thread %d of the concurrency test, seed text" % t)
        pub = json.loads(q.private_key_to_public_key_xy(key))
        out = []
        steps = []
        for kind in KINDS:
            doc = text(kind) if kind != "transfer" else text(kind, nonce=str(t))
            steps.append(lambda doc=doc, kind=kind: getattr(q, "hash_" + kind)(doc))
            steps.append(lambda doc=doc, kind=kind: getattr(q, "sign_" + kind)(doc, key))
        msg = "0x%x" % (1000 + t)
        def sign_and_verify():
            sig = json.loads(q.sign(key, msg))
            good = q.verify_signature(sig["r"], sig["s"], pub["x"], pub["y"], msg)
            bad = q.verify_signature(sig["r"], sig["s"], pub["x"], pub["y"], msg + "1")
            return [sig, good, bad]
        steps.append(sign_and_verify)
        steps.append(lambda: q.eth_sign(key, msg))
        steps.append(lambda: q.is_on_curve(pub["x"], pub["y"]))
        steps.append(lambda: q.public_key_to_xy(pub["x"]))
        # Rotate so that every thread begins with another operation.
        steps = steps[t % len(steps):] + steps[:t % len(steps)]
        for _ in range({rounds}):
            out.append([step() for step in steps])
        return [key, pub, out]
    """
)


def single_threaded():
    namespace = {}
    exec(WORKLOAD.format(tests_dir=TESTS_DIR, rounds=ROUNDS), namespace)
    return [namespace["run"](t) for t in range(THREADS)]


def test_threads_at_first_use_match_single_thread(run_python):
    code = WORKLOAD.format(tests_dir=TESTS_DIR, rounds=ROUNDS) + textwrap.dedent(
        f"""
        import threading
        barrier = threading.Barrier({THREADS})
        results = [None] * {THREADS}
        errors = []
        def worker(t):
            barrier.wait()
            try:
                results[t] = run(t)
            except BaseException as e:
                errors.append(repr(e))
        threads = [threading.Thread(target=worker, args=(t,)) for t in range({THREADS})]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        print(json.dumps({{"results": results, "errors": errors}}))
        """
    )
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    got = json.loads(proc.stdout)
    assert got["errors"] == []
    want = json.loads(json.dumps(single_threaded()))
    assert got["results"] == want
    # The verify calls inside the workload: own message true, other false.
    for _, _, rounds in got["results"]:
        for steps in rounds:
            checks = [s for s in steps if isinstance(s, list)]
            assert [c[1:] for c in checks] == [[True, False]]


# run_in_sub(isolated, code): the text of the exception that running `code` in
# a new sub-interpreter raised, or None. Through CPython's private module of
# sub-interpreters: _interpreters from 3.13 on, _xxsubinterpreters in 3.12.
SUB_INTERPRETER = textwrap.dedent(
    """
    try:
        import _interpreters
    except ImportError:
        import _xxsubinterpreters as _interpreters

        def run_in_sub(isolated, code):
            sub = _interpreters.create(isolated=isolated)
            try:
                _interpreters.run_string(sub, code)
            except _interpreters.RunFailedError as e:
                return str(e)
            finally:
                _interpreters.destroy(sub)
    else:
        def run_in_sub(isolated, code):
            sub = _interpreters.create("isolated" if isolated else "legacy")
            try:
                failure = _interpreters.run_string(sub, code)
            finally:
                _interpreters.destroy(sub)
            return failure and failure.formatted
    """
)

# Our own refusal, which an isolated sub-interpreter of CPython 3.13 and later
# forestalls with its own: it loads no module of single-phase initialisation.
REFUSED = ("only be imported in the main interpreter", "does not support loading in subinterpreters")


def test_import_from_sub_interpreters_raises_import_error(run_python):
    proc = run_python(SUB_INTERPRETER + textwrap.dedent(
        """
        import quillet_python_sdk as q
        for isolated in (True, False):
            print(run_in_sub(isolated, "import quillet_python_sdk"))
        # The main interpreter's module still works.
        print(q.private_key_from_seed("after the sub-interpreters, a seed text"))
        """
    ))
    assert proc.returncode == 0, proc.stderr
    *refused, key = proc.stdout.splitlines()
    assert all("ImportError" in r and any(t in r for t in REFUSED) for r in refused), refused
    assert REFUSED[0] in refused[1]  # a legacy sub-interpreter reaches our own check
    assert key == q.private_key_from_seed("after the sub-interpreters, a seed text")


@pytest.mark.parametrize("isolated", [True, False])
def test_sub_interpreter_first_is_refused_and_main_still_imports(run_python, isolated):
    # A sub-interpreter's import is refused in words of its own, before the
    # once-per-process initialisation is used up; a real second one keeps its text.
    proc = run_python(SUB_INTERPRETER + textwrap.dedent(
        f"""
        import sys
        print(run_in_sub({isolated}, "import quillet_python_sdk"))
        import quillet_python_sdk
        print(quillet_python_sdk.private_key_from_seed("after the sub-interpreter, a seed"))
        sys.modules.pop("quillet_python_sdk")
        try:
            import quillet_python_sdk
        except ImportError as e:
            print(e)
        """
    ))
    assert proc.returncode == 0, proc.stderr
    refused, key, again = proc.stdout.splitlines()
    assert "ImportError" in refused and any(t in refused for t in REFUSED[: 2 if isolated else 1]), refused
    assert key == q.private_key_from_seed("after the sub-interpreter, a seed")
    assert again == "quillet_python_sdk may only be initialized once per interpreter process"


def test_repeated_reimport_keeps_raising_and_first_module_works(run_python):
    proc = run_python(
        textwrap.dedent(
            """
            import sys
            import quillet_python_sdk as first
            outcomes = []
            for _ in range(3):
                sys.modules.pop("quillet_python_sdk", None)
                try:
                    import quillet_python_sdk
                    outcomes.append("imported")
                except ImportError:
                    outcomes.append("ImportError")
            print(outcomes)
            print(first.private_key_from_seed("the first module keeps working, a seed"))
            """
        )
    )
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0] == str(["ImportError"] * 3)
    assert lines[1] == q.private_key_from_seed("the first module keeps working, a seed")
