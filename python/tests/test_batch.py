"""quillet.batch: each result and each failure is the single function's own."""

import json
import os
import random
import threading
import time

import pytest

import quillet_python_sdk as q
from quillet import _batch, batch
from samples import DOCUMENTS, text

KEY = q.private_key_from_seed("batch tests: a seed of thirty-two bytes or more")
PUB = json.loads(q.private_key_to_public_key_xy(KEY))
HASH = {kind: getattr(q, f"hash_{kind}") for kind in batch.KINDS}
SIGN = {kind: getattr(q, f"sign_{kind}") for kind in batch.KINDS}

# Decimal fields varied at random in the documents of each kind.
NUMBERS = {
    "transfer": ["sender_position_id", "receiver_position_id", "amount", "nonce",
                 "expiration_timestamp"],
    "withdraw": ["position_id", "amount", "nonce", "expiration_timestamp"],
    "limit_order": ["amount_synthetic", "amount_collateral", "amount_fee", "position_id",
                    "nonce", "expiration_timestamp"],
    "liquidate": ["liquidated_position_id", "actual_collateral", "actual_synthetic",
                  "actual_liquidator_fee"],
    "signed_oracle_price": ["external_price", "timestamp"],
}


def random_docs(kind, count, rng):
    docs = []
    for _ in range(count):
        changes = {name: str(rng.randrange(1, 2**31)) for name in NUMBERS[kind]}
        if kind == "liquidate":
            order = dict(DOCUMENTS["limit_order"], nonce=str(rng.randrange(2**31)),
                         is_buying_synthetic=rng.random() < 0.5)
            changes["liquidator_order"] = order
        if kind == "limit_order":
            changes["is_buying_synthetic"] = rng.random() < 0.5
        docs.append(text(kind, **changes))
    return docs


def random_msg(rng):
    digits = f"{rng.getrandbits(rng.choice([8, 64, 253, 256])):x}"
    return rng.choice(["0x", ""]) + digits


def raised(fn, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    return info.value


def assert_same_failure(batch_exc, single_exc, index):
    assert type(batch_exc) is type(single_exc)
    assert batch_exc.args == single_exc.args
    assert batch_exc.__notes__ == [f"batch item {index}"]
    assert not hasattr(single_exc, "__notes__")


# --- results --------------------------------------------------------------------

@pytest.mark.parametrize("kind", batch.KINDS)
def test_results_equal_the_single_functions_on_random_documents(kind):
    rng = random.Random(f"documents {kind}")
    docs = random_docs(kind, 12, rng)
    key = q.private_key_from_seed(f"random key {rng.random()} for the batch tests")
    hashes = [HASH[kind](doc) for doc in docs]
    signatures = [SIGN[kind](doc, key) for doc in docs]
    assert len(set(hashes)) == len(docs)
    for threads in (1, 3, None):
        assert batch.hash_many(kind, docs, threads=threads) == hashes
        assert batch.sign_many(kind, docs, key, threads=threads) == signatures


def test_messages_and_verification_equal_the_single_functions():
    rng = random.Random("messages")
    msgs = [random_msg(rng) for _ in range(16)]
    signatures = [q.sign(KEY, msg) for msg in msgs]
    items = []
    for msg, signature in zip(msgs, signatures):
        sig = json.loads(signature)
        other = random_msg(rng)  # almost surely a different integer: False
        items += [(sig["r"], sig["s"], PUB["x"], PUB["y"], msg),
                  [sig["r"], sig["s"], PUB["x"], "ignored", other]]
    verdicts = [q.verify_signature(*item) for item in items]
    assert True in verdicts and False in verdicts
    for threads in (1, 4, None):
        assert batch.sign_messages(KEY, msgs, threads=threads) == signatures
        assert batch.verify_many(items, threads=threads) == verdicts


def test_a_signing_batch_of_several_runs_equals_the_loop():
    # Runs of 256 items per thread: three runs on one thread, two on two; a
    # failure in a later run is still the first in input order.
    rng = random.Random("long signing batch")
    msgs = [random_msg(rng) for _ in range(530)]
    signatures = [q.sign(KEY, msg) for msg in msgs]
    failing = msgs[:520] + ["g"] + msgs[521:]
    for threads in (1, 2):
        assert batch.sign_messages(KEY, msgs, threads=threads) == signatures
        assert_same_failure(raised(batch.sign_messages, KEY, failing, threads=threads),
                            raised(q.sign, KEY, "g"), 520)


def test_a_long_verification_batch_equals_the_loop():
    # Enough items for the shared subgroup check, with wrong signatures, R of
    # small order (y = 0 has order 4; "0x1" is the neutral point) and the
    # neutral key among valid ones from a few keys.
    rng = random.Random("long verification")
    keys = [q.private_key_from_seed(f"verify key {k} for the batch tests, 32 bytes") for k in range(4)]
    pubs = [json.loads(q.private_key_to_public_key_xy(key)) for key in keys]
    items = []
    for i in range(150):
        msg = random_msg(rng)
        sig = json.loads(q.sign(keys[i % 4], msg))
        items.append((sig["r"], sig["s"], pubs[i % 4]["x"], pubs[i % 4]["y"], msg))
    r, s, x, y, msg = items[7]
    for at, item in ((3, (r, s, x, y, random_msg(rng))), (40, ("0x" + "0" * 64, s, x, y, msg)),
                     (41, ("0x1", s, x, y, msg)), (90, (r, s, "0x1", y, msg))):
        items[at] = item
    verdicts = [q.verify_signature(*item) for item in items]
    assert verdicts.count(False) == 4
    for threads in (1, 2):
        assert batch.verify_many(items, threads=threads) == verdicts


@pytest.mark.parametrize("call", [
    lambda: batch.hash_many("transfer", []),
    lambda: batch.sign_many("withdraw", [], KEY),
    lambda: batch.sign_messages(KEY, []),
    lambda: batch.verify_many([]),
    lambda: batch.verify_many((), threads=1),
])
def test_empty_batches(call):
    assert call() == []


def test_any_iterable_is_taken_and_left_as_it_was():
    docs = random_docs("limit_order", 5, random.Random("iterables"))
    expected = [q.hash_limit_order(doc) for doc in docs]
    assert batch.hash_many("limit_order", tuple(docs)) == expected
    assert batch.hash_many("limit_order", (doc for doc in docs)) == expected
    assert batch.hash_many("limit_order", dict.fromkeys(docs)) == expected

    failing = docs + ["{}"]
    before = list(failing)
    items = [["0xzz", "0x2", PUB["x"], PUB["y"], "0x3"]]  # fails: r is not a point
    items_before = [list(item) for item in items]
    batch.sign_many("limit_order", docs, KEY, threads=2)
    raised(batch.sign_many, "limit_order", failing, KEY, threads=2)
    raised(batch.verify_many, items)
    assert failing == before and all(a is b for a, b in zip(failing, before))
    assert docs == before[:-1]
    assert items == items_before  # the item is still the caller's list


# --- failures -------------------------------------------------------------------

GOOD = {kind: text(kind) for kind in batch.KINDS}
NEGATIVE_ORDER = dict(DOCUMENTS["limit_order"], asset_id_synthetic="0x-1f")
NEGATIVE = {"limit_order": json.dumps(NEGATIVE_ORDER),
            "liquidate": text("liquidate", liquidator_order=NEGATIVE_ORDER)}

# (kind, bad document) for every way a document fails: hard failures and
# returned errors alike.
BAD_DOCUMENTS = [
    *[(kind, "{}") for kind in batch.KINDS],
    *[(kind, "[1, 2") for kind in batch.KINDS],
    *[(kind, doc) for kind, doc in NEGATIVE.items()],
    ("withdraw", text("withdraw", amount="-5")),
]


@pytest.mark.parametrize("kind, bad", BAD_DOCUMENTS)
def test_a_failing_document_raises_what_the_single_function_raises(kind, bad):
    docs = [GOOD[kind]] * 3 + [bad] + [GOOD[kind]] * 2
    for threads in (1, 4):
        assert_same_failure(raised(batch.hash_many, kind, docs, threads=threads),
                            raised(HASH[kind], bad), 3)
        assert_same_failure(raised(batch.sign_many, kind, docs, KEY, threads=threads),
                            raised(SIGN[kind], bad, KEY), 3)


@pytest.mark.parametrize("kind", batch.KINDS)
@pytest.mark.parametrize("key", ["zz", "0x" + "f" * 64, "0x12", ""])
def test_a_rejected_key_fails_at_the_first_item(kind, key):
    docs = [GOOD[kind]] * 4
    assert_same_failure(raised(batch.sign_many, kind, docs, key, threads=2),
                        raised(SIGN[kind], GOOD[kind], key), 0)


def test_the_first_failing_item_in_input_order_is_raised():
    # Two different failures; whichever thread meets one first, item 2's is raised.
    first, second = "{}", "not json"
    assert raised(q.hash_withdraw, first).args != raised(q.hash_withdraw, second).args
    docs = [GOOD["withdraw"]] * 2 + [first] + [GOOD["withdraw"]] * 5 + [second] * 8
    for threads in (1, 2, 8):
        assert_same_failure(raised(batch.hash_many, "withdraw", docs, threads=threads),
                            raised(q.hash_withdraw, first), 2)
    msgs = ["0x1"] * 6 + ["0X1", "g"]
    assert_same_failure(raised(batch.sign_messages, KEY, msgs, threads=3),
                        raised(q.sign, KEY, "0X1"), 6)


SIG = json.loads(q.sign(KEY, "0x5"))
GOOD_ITEM = (SIG["r"], SIG["s"], PUB["x"], PUB["y"], "0x5")


@pytest.mark.parametrize("item", [
    (SIG["r"], "0x" + "f" * 64, PUB["x"], PUB["y"], "0x5"),  # s not below the order
    ("0xzz", SIG["s"], PUB["x"], PUB["y"], "0x5"),
    (SIG["r"], SIG["s"], PUB["x"], PUB["y"], "0x" + "1" * 65),
    (SIG["r"], SIG["s"], "0x" + "f" * 64, PUB["y"], "0x5"),
    (SIG["r"], SIG["s"], PUB["x"], PUB["y"]),  # binding failures: TypeError
    (SIG["r"], SIG["s"], PUB["x"], PUB["y"], "0x5", "extra"),
    (SIG["r"], SIG["s"], PUB["x"], PUB["y"], 5),
    (),
])
def test_a_failing_verification_raises_what_verify_signature_raises(item):
    items = [GOOD_ITEM, list(item), GOOD_ITEM]
    assert_same_failure(raised(batch.verify_many, items, threads=2),
                        raised(q.verify_signature, *item), 1)


def test_a_core_failure_wins_over_a_later_item_that_cannot_be_converted(capfd):
    bad_item = ("0xzz",) + GOOD_ITEM[1:]
    cases = [
        (lambda: batch.hash_many("transfer", ["{}", 5]), lambda: q.hash_transfer("{}"), 0),
        (lambda: batch.hash_many("transfer", [GOOD["transfer"], "{}", "\ud800"]),
         lambda: q.hash_transfer("{}"), 1),
        (lambda: batch.sign_messages(KEY, ["0xzz", None]), lambda: q.sign(KEY, "0xzz"), 0),
        (lambda: batch.verify_many([GOOD_ITEM, bad_item, ("0x1",)], threads=2),
         lambda: q.verify_signature(*bad_item), 1),
    ]
    for call, single, index in cases:
        single_exc = raised(single)
        capfd.readouterr()
        assert_same_failure(raised(call), single_exc, index)
        (line,) = capfd.readouterr().err.splitlines()
        assert f" item {index}) failed: " in line


@pytest.mark.parametrize("call, single", [
    (lambda bad: batch.hash_many("transfer", [GOOD["transfer"], bad]),
     lambda bad: q.hash_transfer(bad)),
    (lambda bad: batch.sign_many("withdraw", [GOOD["withdraw"], bad], KEY),
     lambda bad: q.sign_withdraw(bad, KEY)),
    (lambda bad: batch.sign_messages(KEY, ["0x1", bad]), lambda bad: q.sign(KEY, bad)),
])
@pytest.mark.parametrize("bad", [7, b"{}", None, "\ud800"])
def test_an_item_of_the_wrong_type_raises_what_the_single_function_raises(call, single, bad):
    if bad == 7 and "sign_messages" in call.__code__.co_names:
        return  # an int message is signed, as PrivateKey.sign_message signs it
    assert_same_failure(raised(call, bad), raised(single, bad), 1)


def test_batch_and_single_functions_raise_the_same_panic_exception_class():
    from_batch = raised(batch.hash_many, "transfer", ["{}"])
    from_single = raised(q.hash_transfer, "{}")
    assert type(from_batch) is type(from_single)
    assert type(from_batch).__name__ == "PanicException"
    assert type(from_batch).__bases__ == (BaseException,)
    assert not hasattr(q, "PanicException")


def test_the_class_is_shared_when_the_batch_module_fails_first(run_python):
    proc = run_python(
        "from quillet import batch\n"
        "import quillet_python_sdk as q\n"
        "def caught(f, *a):\n"
        "    try: f(*a)\n"
        "    except BaseException as e: return type(e)\n"
        "first = caught(batch.hash_many, 'withdraw', ['{}'])\n"
        "print(first is caught(q.hash_withdraw, '{}'), first.__name__,\n"
        "      hasattr(q, 'PanicException'))\n"
    )
    assert proc.stdout.split() == ["True", "PanicException", "False"], proc.stderr


def test_one_diagnostic_line_names_the_raised_item(capfd):
    capfd.readouterr()
    raised(q.hash_withdraw, "{}")
    single = capfd.readouterr().err
    raised(batch.hash_many, "withdraw", [GOOD["withdraw"], "{}", "{}", "[", "{}"], threads=2)
    lines = capfd.readouterr().err.splitlines()
    assert lines == [single.rstrip("\n").replace("hash_withdraw failed:",
                                                 "hash_withdraw (hash_many item 1) failed:")]


# --- arguments of the batch functions --------------------------------------------

@pytest.mark.parametrize("call, error, message", [
    (lambda: batch.hash_many("order", []), ValueError, "unknown kind 'order'"),
    (lambda: batch.sign_many(5, [], KEY), TypeError, "kind must be a str, not 'int'"),
    (lambda: batch.sign_many("transfer", [], 5), TypeError,
     "argument 'pri_key': 'int' object cannot be converted to 'PyString'"),
    (lambda: batch.sign_messages(None, []), TypeError,
     "argument 'private_key': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: batch.hash_many("transfer", GOOD["transfer"]), TypeError,
     "docs must be an iterable such as a list, not 'str'"),
    (lambda: batch.sign_messages(KEY, b"0x1"), TypeError,
     "msgs must be an iterable such as a list, not 'bytes'"),
    (lambda: batch.hash_many("transfer", 5), TypeError, "'int' object is not iterable"),
    (lambda: batch.verify_many(["abcde"]), TypeError,
     "each item must be a tuple or list of the verify_signature arguments"),
    (lambda: batch.hash_many("transfer", [], threads=0), ValueError,
     "threads must be at least 1, not 0"),
    (lambda: batch.hash_many("transfer", [], threads=-1), ValueError,
     "threads must be at least 1, not -1"),
    (lambda: batch.hash_many("transfer", [], threads="2"), TypeError,
     "threads must be an int or None, not 'str'"),
])
def test_bad_arguments(call, error, message):
    exc = raised(call)
    assert type(exc) is error
    assert str(exc).startswith(message)


class Sized:
    """An empty iterable whose len() raises `error`."""

    def __init__(self, error):
        self.error = error

    def __iter__(self):
        return iter(())

    def __len__(self):
        raise self.error


# The native module's own refusals, under the layer above.
@pytest.mark.parametrize("call, error, message", [
    (lambda: _batch.verify_many([("0x1",) * 6]), TypeError,
     "verify_signature() takes 5 positional arguments but 6 were given"),
    (lambda: _batch.verify_many([["0x1"] * 4]), TypeError,
     "verify_signature() missing 1 required positional argument: 'msg'"),
    (lambda: _batch.verify_many([5]), TypeError,
     "each item must be a tuple or list of the verify_signature arguments "
     "(sig_r, sig_s, pub_key_x, pub_key_y, msg), not 'int'"),
    (lambda: _batch.call_many("sign", [(KEY, "0x1", "0x2")], None), TypeError,
     "sign() takes 2 positional arguments but 3 were given"),
    (lambda: _batch.call_many("sign", [(KEY, "0x1"), [KEY, "0x1"]], None), TypeError,
     "item 1 must be a tuple, not 'list'"),
    (lambda: _batch.hash_many("transfer", b"{}"), TypeError,
     "docs must be an iterable such as a list, not 'bytes'"),
    (lambda: _batch.hash_many(Sized, []), TypeError, "kind must be a str, not 'type'"),
    (lambda: _batch.hash_many("transfer", [], threads=Sized(None)), TypeError,
     "threads must be an int or None, not 'Sized'"),
    (lambda: _batch.hash_many("transfer", Sized(ValueError("no length"))), ValueError, "no length"),
])
def test_native_bad_arguments(call, error, message):
    exc = raised(call)
    assert type(exc) is error
    assert str(exc) == message


def test_an_iterable_without_a_length_is_read_whole():
    assert _batch.hash_many("transfer", Sized(TypeError("no len()"))) == []
    assert _batch.hash_many("transfer", (d for d in [text("transfer")])) == [q.hash_transfer(text("transfer"))]


def test_bad_batch_arguments_are_not_noted_as_items():
    assert not hasattr(raised(batch.sign_many, "transfer", [GOOD["transfer"]], 5), "__notes__")


def test_more_threads_than_items_or_cores():
    docs = [GOOD["transfer"]] * 3
    expected = [q.hash_transfer(GOOD["transfer"])] * 3
    assert batch.hash_many("transfer", docs, threads=64) == expected
    assert batch.hash_many("transfer", docs, threads=10**30) == expected
    assert batch.default_threads() == len(os.sched_getaffinity(0))


def test_default_threads_follow_the_cpu_affinity(run_python):
    proc = run_python("import os\n"
                      "os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})\n"
                      "from quillet import batch\n"
                      "print(batch.default_threads())\n")
    assert proc.stdout.strip() == "1", proc.stderr


def test_the_interpreter_lock_is_released_while_a_batch_runs():
    # Long enough for a few 1 ms ticks in its middle half however fast
    # signing gets (400 messages came close to the limit).
    msgs = [f"0x{i:x}" for i in range(1, 4000)]
    span = {}

    def sign_in_background():
        span["start"] = time.perf_counter()
        batch.sign_messages(KEY, msgs, threads=1)
        span["end"] = time.perf_counter()

    worker = threading.Thread(target=sign_in_background)
    ticks = []
    worker.start()
    while worker.is_alive():
        ticks.append(time.perf_counter())
        time.sleep(0.001)
    worker.join()
    start, end = span["start"], span["end"]
    middle = [t for t in ticks if start + (end - start) / 4 < t < end - (end - start) / 4]
    # Holding the lock for the whole batch would leave no tick in its middle half.
    assert len(middle) >= 3, (end - start, len(ticks))


def test_concurrent_batches_from_several_python_threads():
    # More callers than the pool has helpers: each borrows what is free or
    # starts more, the batches' stages interleaving on the helpers.
    docs = random_docs("transfer", 24, random.Random("concurrent"))
    signatures = [q.sign_transfer(doc, KEY) for doc in docs]
    items = [(*json.loads(sig).values(), PUB["x"], PUB["y"], q.hash_transfer(doc))
             for sig, doc in zip(signatures, docs)]
    calls = [(lambda: batch.sign_many("transfer", docs, KEY, threads=2), signatures),
             (lambda: batch.hash_many("transfer", docs, threads=2), [q.hash_transfer(d) for d in docs]),
             (lambda: batch.verify_many(items, threads=3), [True] * len(docs))] * 2
    results = [None] * len(calls)

    def run(slot):
        call, _ = calls[slot]
        results[slot] = [call() for _ in range(5)]

    workers = [threading.Thread(target=run, args=(slot,)) for slot in range(len(calls))]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert results == [[expected] * 5 for _, expected in calls]


def test_helpers_are_kept_between_calls_and_a_fork_child_makes_its_own(run_python):
    # The children fork while another thread's batches use the parent's
    # helpers; a child has none of them and must neither wait for them nor
    # take a lock one of them held.
    proc = run_python(f"""if True:
        import os, threading, time, warnings
        warnings.simplefilter("ignore", DeprecationWarning)
        from quillet import _batch
        docs = [{text("transfer")!r}] * 64
        expected = _batch.hash_many("transfer", docs, threads=1)
        def tasks():
            return len(os.listdir("/proc/self/task"))
        before = tasks()
        for _ in range(5):
            assert _batch.hash_many("transfer", docs, threads=2) == expected
        print("helpers kept", tasks() - before)
        stop = False
        def busy():
            while not stop:
                assert _batch.hash_many("transfer", docs, threads=2) == expected
        thread = threading.Thread(target=busy)
        thread.start()
        codes = []
        for attempt in range(10):
            time.sleep(0.003)
            pid = os.fork()
            if pid == 0:
                alone = tasks() == 1
                same = _batch.hash_many("transfer", docs, threads=2) == expected
                os._exit(0 if alone and same and tasks() == 2 else 1)
            end = time.monotonic() + 10
            while not (done := os.waitpid(pid, os.WNOHANG))[0] and time.monotonic() < end:
                time.sleep(0.002)
            if not done[0]:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
            codes.append(os.waitstatus_to_exitcode(done[1]) if done[0] else "hung")
        stop = True
        thread.join()
        print("children", codes)
    """)
    assert proc.stdout == "helpers kept 1\nchildren [0, 0, 0, 0, 0, 0, 0, 0, 0, 0]\n", proc.stderr


def test_the_batch_module_matches_its_stub(tmp_path):
    pytest.importorskip("mypy")
    import subprocess
    import sys

    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "quillet._batch"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
