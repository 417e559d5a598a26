"""Batches with per-item outcomes, progress and chunks; process pools; Ctrl-C; asyncio."""

import asyncio
import dataclasses
import concurrent.futures
import multiprocessing
import signal
import subprocess
import sys
import time

import pytest

import quillet
import quillet_python_sdk as q
from quillet import InvalidDocument, InvalidKey, Transfer, _batch, aio, batch
from samples import text

KEY = q.private_key_from_seed("typed batch tests: a seed of thirty-two bytes or more")
GOOD = text("transfer")
DOC = Transfer.from_json(GOOD)


def test_outcomes_report_every_item_with_the_core_reason(capfd):
    items = [GOOD, "{}", DOC, 7, text("transfer", nonce="0x11")]
    got = batch.hash_many("transfer", items, outcomes=True, chunk_size=2)
    assert [o.index for o in got] == list(range(5))
    assert [o.ok for o in got] == [True, False, True, False, False]
    assert got[0].value == got[2].value == q.hash_transfer(GOOD)
    assert all(isinstance(o.error, InvalidDocument) for o in got if not o.ok)
    assert "missing field `sender_position_id`" in got[1].error.reason
    assert "invalid digit" in got[4].error.reason
    assert capfd.readouterr().err == ""  # the reason comes back, nothing is printed
    with pytest.raises(InvalidDocument):
        got[1].unwrap()


def test_outcomes_of_signing_and_verifying():
    pub = quillet.PrivateKey(KEY).public_key
    doc = dataclasses.replace(DOC, public_key=pub.x)
    signed = batch.sign_many("transfer", [doc, "{}", DOC], KEY, outcomes=True)
    assert signed[0].unwrap() == q.sign_transfer(GOOD, KEY) and not signed[1].ok
    assert isinstance(signed[2].error, quillet.KeyMismatch)  # DOC names another key
    with pytest.raises(InvalidKey):  # a bad key fails the batch, in words of its own
        batch.sign_many("transfer", [DOC], "0xzz", outcomes=True)
    sig = quillet.Signature.from_json(signed[0].unwrap())
    row = (sig.r, sig.s, pub.x, pub.y, DOC.hash())
    checked = batch.verify_many([row, row[:4] + ("0x5",), ("0xzz",) + row[1:], "x"],
                                outcomes=True)
    assert [o.value for o in checked] == [True, False, None, None]
    assert [o.ok for o in checked] == [True, True, False, False]


@pytest.mark.parametrize("kind", ["signed-oracle-price", "signed_oracle_price"])
def test_kinds_take_dashes_and_underscores(kind):
    assert batch.hash_many(kind, [text("signed_oracle_price")]) == [
        q.hash_signed_oracle_price(text("signed_oracle_price"))]


def test_progress_and_chunks_keep_results_and_number_failures_in_the_whole_batch():
    seen = []
    msgs = [f"0x{i:x}" for i in range(1, 8)]
    expected = [q.sign(KEY, m) for m in msgs]
    assert batch.sign_messages(KEY, msgs, chunk_size=3,
                               progress=lambda done, total: seen.append((done, total))) == expected
    assert seen == [(3, 7), (6, 7), (7, 7)]
    with pytest.raises(quillet.PanicException) as caught:
        batch.hash_many("transfer", [GOOD] * 4 + ["{}"], chunk_size=2)
    assert caught.value.__notes__ == ["batch item 4"]


def test_process_pools_report_a_failing_item_instead_of_hanging():
    context = multiprocessing.get_context("spawn")
    with context.Pool(1) as pool:
        result = pool.map_async(Transfer.from_json, [GOOD, "{}"])
        with pytest.raises(InvalidDocument, match="sender_position_id: missing"):
            result.get(timeout=60)
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as executor:
        panic = executor.submit(q.hash_transfer, "{}")
        with pytest.raises(quillet.PanicException, match="missing field"):
            panic.result(timeout=60)
        refused = executor.submit(batch.sign_many, "transfer", [GOOD, "{}"], KEY)
        with pytest.raises(ValueError, match="Any") as caught:
            refused.result(timeout=60)
        assert caught.value.__notes__ == ["batch item 1"]


def test_ctrl_c_stops_a_batch_with_outcomes_promptly():
    # One chunk of a million signatures, half a minute or more on one thread.
    # A child started in the background inherits SIGINT ignored, and Python
    # then leaves it ignored: the batch would run to its end.
    code = ("import signal\nsignal.signal(signal.SIGINT, signal.default_int_handler)\n"
            "from quillet import _batch, batch\n"
            "native = _batch.call_many\n"
            "def call_many(*args):\n    print('go', flush=True)\n    return native(*args)\n"
            "_batch.call_many = call_many\n"
            "batch.sign_messages('0x' + '0' * 63 + '7', ['0x%x' % i for i in range(1, 1_000_001)],"
            " threads=1, outcomes=True, chunk_size=1_000_000)\n")
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline().strip() == "go"
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert "KeyboardInterrupt" in err and time.monotonic() - sent < 10


def test_asyncio_batches_leave_the_event_loop_running():
    # Enough work to outlast a few of the ticker's 1 ms sleeps however fast
    # signing gets (300 messages took under 3 ms and left it 2 ticks).
    msgs = [f"0x{i:x}" for i in range(1, 3000)]

    async def main():
        ticks = 0

        async def tick():
            nonlocal ticks
            while True:
                ticks += 1
                await asyncio.sleep(0.001)

        ticker = asyncio.create_task(tick())
        signatures = await aio.sign_messages(KEY, msgs, threads=1)
        outcomes = await aio.run(batch.hash_many, "transfer", ["{}"], outcomes=True)
        ticker.cancel()
        return signatures, outcomes, ticks

    signatures, outcomes, ticks = asyncio.run(main())
    assert signatures == [q.sign(KEY, m) for m in msgs]
    assert not outcomes[0].ok and ticks >= 3


def test_call_returns_the_reason_that_the_module_prints(capfd):
    for name, args in [("hash_transfer", ("{}",)), ("sign", (KEY, "0xzz")),
                       ("public_key_to_xy", ("0x12g4",))]:
        ok, reason = _batch.call(name, *args)
        assert not ok and capfd.readouterr().err == ""
        with pytest.raises(BaseException):
            getattr(q, name)(*args)
        line = reason.replace("\n", "\\n")  # the diagnostic line keeps to one line
        assert capfd.readouterr().err.endswith(f"{name} failed: {line}\n")


@pytest.mark.parametrize("threads, error", [(True, TypeError), (False, TypeError),
                                            ("2", TypeError), (0, ValueError),
                                            (2**70, None), (1, None)])
def test_every_batch_path_checks_threads_alike(threads, error):
    # Plain, chunked, per-item outcomes, one item or none: one check, one answer.
    calls = [lambda **o: batch.hash_many("transfer", [GOOD], threads=threads, **o),
             lambda **o: batch.sign_many("transfer", [], KEY, threads=threads, **o),
             lambda **o: batch.sign_messages(KEY, ["0x1"], threads=threads, **o),
             lambda **o: batch.verify_many([], threads=threads, **o)]
    for call in calls:
        for options in ({}, {"chunk_size": 1}, {"outcomes": True}):
            if error is None:
                call(**options)
            else:
                with pytest.raises(error, match="threads must be"):
                    call(**options)
