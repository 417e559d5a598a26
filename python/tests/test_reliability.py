"""Nothing a caller does ends the process: exit, fork, memory, hostile
iterators, a stuck stderr and Ctrl-C during batch calls. Scenarios that can
crash or hang run in a fresh interpreter, repeated where they are races."""

import os
import subprocess
import sys
import textwrap
import time

import pytest

import quillet_python_sdk as q
from quillet import _batch
from samples import text

KEY = "0x" + "01" * 32
DOC = text("transfer")


def python(code: str, **kwargs) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], text=True,
                            stdout=subprocess.PIPE, **kwargs)


def finish(proc: subprocess.Popen, timeout: float = 20) -> tuple[int, str]:
    try:
        out, _ = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, _ = proc.communicate()
        return -999, out
    return proc.returncode, out


BATCHES = [  # (input, call): each call takes seconds
    ("items = ['0x%x' % i for i in range(200000)]",
     f"_batch.sign_messages({KEY!r}, items, threads=THREADS)"),
    (f"items = [{DOC!r}] * 200000", "_batch.hash_many('transfer', items, threads=THREADS)"),
    ("import json, quillet_python_sdk as q; sig = json.loads(q.sign(%r, '0x5')); "
     "pub = json.loads(q.private_key_to_public_key_xy(%r)); "
     "items = [(sig['r'], sig['s'], pub['x'], pub['y'], '0x5')] * 200000" % (KEY, KEY),
     "_batch.verify_many(items, threads=THREADS)"),
]
IDS = ["sign_messages", "hash_many", "verify_many"]


@pytest.mark.parametrize("setup,call", BATCHES, ids=IDS)
def test_exit_while_a_daemon_thread_runs_a_batch_is_clean(setup, call):
    code = f"""
        import threading, time
        from quillet import _batch
        {setup}
        started = threading.Event()
        def work():
            started.set()
            {call.replace("THREADS", "None")}
        threading.Thread(target=work, daemon=True).start()
        started.wait()
        time.sleep(0.2)
    """
    procs = [python(code, stderr=subprocess.DEVNULL) for _ in range(8)]
    assert [finish(p)[0] for p in procs] == [0] * len(procs)


def test_verify_many_keeps_its_own_references_to_the_items():
    # Each item's iteration clears every list that holds it: the caller's, and
    # any internal copy the batch might keep in a list.
    code = f"""
        import gc, json
        import quillet_python_sdk as q
        from quillet import _batch
        sig = json.loads(q.sign({KEY!r}, "0x5"))
        x, y = json.loads(q.private_key_to_public_key_xy({KEY!r})).values()
        class Hostile(list):
            def __iter__(self):
                for holder in gc.get_referrers(self):
                    if isinstance(holder, list):
                        holder.clear()
                gc.collect()
                return iter([sig["r"], sig["s"], x, y, "0x5"])
        items = [Hostile() for _ in range(50)]
        print(_batch.verify_many(items) == [True] * 50)
    """
    rc, out = finish(python(code, stderr=subprocess.PIPE))
    assert (rc, out) == (0, "True\n")


def test_allocation_failure_is_memory_error_and_the_process_goes_on():
    code = f"""
        import resource
        from quillet import _batch
        docs = [{DOC!r}] * 4_000_000
        with open("/proc/self/status") as status:
            used = next(int(l.split()[1]) for l in status if l.startswith("VmSize")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (used + 200 * 2**20, resource.RLIM_INFINITY))
        try:
            _batch.hash_many("transfer", docs, threads=1)
        except MemoryError:
            print("MemoryError")
        print(len(_batch.hash_many("transfer", docs[:3], threads=1)))
    """
    rc, out = finish(python(code, stderr=subprocess.PIPE))
    assert (rc, out) == (0, "MemoryError\n3\n")


FIRST_CALLS = {  # (imports, first calls): what a fork may interrupt
    # The constant tables' first build.
    "tables": ("from quillet import _batch",
               f"_batch.sign_messages({KEY!r}, ['0x1'], threads=1); "
               f"_batch.hash_many('transfer', [{DOC!r}], threads=1)"),
    # The first batch and typed calls: nothing in them may import (a module
    # lock held at the fork stays held in the child).
    "batch": ("from quillet import aio, batch",
              f"batch.sign_many('transfer', [{DOC!r}], {KEY!r}, outcomes=True); "
              f"batch.sign_messages({KEY!r}, ['0x1'], chunk_size=1); "
              f"batch.hash_many('transfer', [{DOC!r}], outcomes=True)"),
    "typed": ("import dataclasses; from quillet import batch; "
              "import quillet.keys as keys, quillet.documents as d",
              f"key = keys.PrivateKey({KEY!r}); doc = dataclasses.replace("
              f"d.Transfer.from_json({DOC!r}), public_key=key.public_key.x); "
              "key.public_key.verify(key.sign(doc), doc); "
              "batch.sign_many('transfer', [doc], key, outcomes=True)"),
    # The first coroutine: asyncio's default executor starts its first thread.
    "aio": ("import asyncio; from quillet import aio",
            f"asyncio.run(aio.sign_messages({KEY!r}, ['0x1']))"),
    # The package's own names, whose modules load on first access.
    "names": ("import quillet",
              f"quillet.PrivateKey({KEY!r}).public_key; quillet.LimitOrder; quillet.Signer"),
    # The signing service's client: httpx's import, begun in one thread
    # (logging imported already, as most programs have it: its own first
    # import is not waited for).
    "remote": ("import logging, quillet", "quillet.RemoteSigner; quillet.BatchSigner"),
}


@pytest.mark.parametrize("first", FIRST_CALLS)
def test_a_fork_during_first_calls_leaves_a_working_child(first):
    # Each attempt forks a fresh process where nothing has run yet; there one
    # thread starts the first calls and the other forks at a slightly later
    # moment each time. The grandchild must make the same calls, never hang.
    imports, calls = FIRST_CALLS[first]
    code = f"""
        import os, threading, time, warnings
        warnings.simplefilter("ignore", DeprecationWarning)
        {imports}
        def first_calls():
            {calls}
        def waited(pid, limit):
            end = time.monotonic() + limit
            while time.monotonic() < end:
                done, status = os.waitpid(pid, os.WNOHANG)
                if done:
                    return os.waitstatus_to_exitcode(status)
                time.sleep(0.002)
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            return "hung"
        results = []
        for attempt in range(40):
            child = os.fork()
            if child == 0:
                started = threading.Event()
                def build():
                    started.set()
                    first_calls()
                threading.Thread(target=build, daemon=True).start()
                while not started.is_set():
                    pass
                end = time.perf_counter() + attempt * 25e-6
                while time.perf_counter() < end:
                    pass
                grandchild = os.fork()
                if grandchild == 0:
                    first_calls()
                    os._exit(0)
                os._exit(0 if waited(grandchild, 2) == 0 else 1)
            results.append(waited(child, 5))
        print(results.count(0), len(results))
    """
    # Time enough for every attempt to hang its 2 s, so that a fault shows its count.
    rc, out = finish(python(code, stderr=subprocess.PIPE), timeout=120)
    assert (rc, out) == (0, "40 40\n")


def test_a_fork_leaves_an_extra_unimported_and_writes_nothing():
    # Importing httpx during the fork would cost the first fork a large part
    # of a second, and logging's fork handlers, registered mid-fork, complain.
    code = """
        import os, sys, quillet
        pid = os.fork()
        if pid == 0:
            os._exit(0)
        os.waitpid(pid, 0)
        print("httpx" in sys.modules)
    """
    out, err = python(code, stderr=subprocess.PIPE).communicate(timeout=20)
    assert (out, err) == ("False\n", "")


def _raise(call):
    try:
        call()
    except BaseException as exc:  # PanicException derives from BaseException
        return exc
    raise AssertionError("no exception")


def test_a_stderr_nobody_reads_blocks_only_the_failing_thread():
    code = """
        import threading, time
        import quillet_python_sdk as q
        def fail_forever():
            while True:
                try:
                    q.hash_transfer("{}")
                except BaseException:
                    pass
        threading.Thread(target=fail_forever, daemon=True).start()
        time.sleep(1.0)  # the pipe is full after about 700 lines
        n = 0
        end = time.monotonic() + 0.5
        while time.monotonic() < end:
            n += 1
        print("alive", n > 1000, flush=True)
    """
    read_end, write_end = os.pipe()
    try:
        proc = python(code, stderr=write_end)
        os.close(write_end)
        rc, out = finish(proc, timeout=10)
        # The daemon thread is still blocked on the full pipe at exit.
        assert out == "alive True\n"
    finally:
        os.close(read_end)


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("setup,call", BATCHES, ids=IDS)
def test_ctrl_c_stops_a_batch_promptly(setup, call, threads):
    code = f"""
        import os, signal, threading, time
        from quillet import _batch
        # A process started in the background by a non-interactive shell
        # inherits SIGINT ignored, and Python then leaves it ignored.
        signal.signal(signal.SIGINT, signal.default_int_handler)
        {setup}
        sent = []
        def interrupt():
            time.sleep(0.3)
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)
        threading.Thread(target=interrupt).start()
        try:
            {call.replace("THREADS", str(threads))}
            print("finished")
        except KeyboardInterrupt:
            print("interrupted", time.monotonic() - sent[0] < 1.0)
    """
    rc, out = finish(python(code, stderr=subprocess.PIPE), timeout=8)
    assert (rc, out) == (0, "interrupted True\n")


@pytest.mark.parametrize("call,text", [
    (lambda: q.public_key_to_xy("0xzz"),
     "Couldn't convert public key to xy: Invalid character 'z' at position 0"
     "\n\nCaused by:\n    Invalid character 'z' at position 0"),
    (lambda: q.is_on_curve("0x12g4", "0x1"),
     "Couldn't get verify xy is on curve: Invalid character 'g' at position 2"
     "\n\nCaused by:\n    Invalid character 'g' at position 2"),
    (lambda: q.public_key_to_xy("0x" + "1" * 65),
     "Couldn't convert public key to xy: Invalid string length"
     "\n\nCaused by:\n    Invalid string length"),
    (lambda: q.is_on_curve("0x" + "1" * 65, "0x1"),
     "Couldn't get verify xy is on curve: Invalid string length"
     "\n\nCaused by:\n    Invalid string length"),
], ids=["xy_bad_digit", "on_curve_bad_digit", "xy_65_digits", "on_curve_65_digits"])
def test_key_text_errors_keep_their_cause(capfd, call, text):
    capfd.readouterr()
    exc = _raise(call)
    assert type(exc).__name__ == "PanicException" and exc.args == (text,)
    line = capfd.readouterr().err
    assert line.endswith(" failed: " + text.replace("\n", "\\n") + "\n")
