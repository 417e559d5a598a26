"""quillet.batch and quillet.aio through signers that are not a PrivateKey.

The signers here are second implementations of the protocols, each over a
PrivateKey: item by item (a Signer), with sign_many (a BatchSigner), with
sign_each, and with coroutines (an AsyncSigner). Each may refuse chosen
nonces, as a service's policy does.
"""

import asyncio
import dataclasses

import pytest

import quillet
from quillet import (InvalidDocument, InvalidMessage, KeyMismatch, LimitOrder, PolicyRefused,
                     PrivateKey, SignerUnavailable, aio, batch, demo)

KEY = PrivateKey.from_seed(demo.SEED)
OTHER = PrivateKey.from_seed("another desk's seed, thirty-two bytes or more")
ORDER = LimitOrder.from_dict(demo.ORDER)
ORDERS = [dataclasses.replace(ORDER, nonce=n) for n in range(6)]
NATIVE = batch.sign_many("limit_order", ORDERS, KEY)


class Plain:
    """A Signer: the four members, and nothing more."""

    def __init__(self, refuse=(), down=False):
        self.refuse, self.down, self.calls = set(refuse), down, []

    @property
    def public_key(self):
        return KEY.public_key

    def _check(self, item):
        if self.down:
            raise SignerUnavailable("the service is down")
        if getattr(item, "nonce", None) in self.refuse:
            raise PolicyRefused("refused", rule="max_amount_collateral",
                                field="amount_collateral", limit="1", value="2")

    def sign(self, document):
        self.calls.append(("sign", document.nonce))
        self._check(document)
        return KEY.sign(document)

    def sign_message(self, msg):
        self.calls.append(("sign_message", msg))
        return KEY.sign_message(msg)

    def eth_sign(self, msg):
        return KEY.eth_sign(msg)


class Many(Plain):
    """A BatchSigner: one call signs a whole chunk, or refuses it."""

    def sign_many(self, documents):
        documents = list(documents)
        self.calls.append(("sign_many", len(documents)))
        for index, document in enumerate(documents):
            try:
                self._check(document)
            except PolicyRefused as error:
                error.add_note(f"batch item {index}")
                raise
        return KEY.sign_many(documents)


class Each(Many):
    """A BatchSigner whose items are refused one by one (as RemoteSigner's)."""

    def sign_each(self, documents):
        documents = list(documents)
        self.calls.append(("sign_each", len(documents)))
        results = []
        for document in documents:
            try:
                self._check(document)
                results.append(KEY.sign(document))
            except PolicyRefused as error:
                results.append(error)
        return results


class Async:
    """An AsyncSigner over a blocking one."""

    def __init__(self, inner):
        self.inner = inner

    @property
    def public_key(self):
        return self.inner.public_key

    async def sign(self, document):
        await asyncio.sleep(0)
        return self.inner.sign(document)

    async def sign_message(self, msg):
        return self.inner.sign_message(msg)

    async def eth_sign(self, msg):
        return self.inner.eth_sign(msg)


class AsyncMany(Async):
    async def sign_many(self, documents):
        return self.inner.sign_many(documents)


class AsyncEach(AsyncMany):
    async def sign_each(self, documents):
        return self.inner.sign_each(documents)


# (name, signer factory taking refuse=/down=, how a batch of documents signs)
SIGNERS = [
    ("plain", Plain, lambda *a, **o: batch.sign_many(*a, **o)),
    ("many", Many, lambda *a, **o: batch.sign_many(*a, **o)),
    ("each", Each, lambda *a, **o: batch.sign_many(*a, **o)),
    ("aio plain", Plain, lambda *a, **o: asyncio.run(aio.sign_many(*a, **o))),
    ("async", lambda **o: Async(Plain(**o)), lambda *a, **o: asyncio.run(aio.sign_many(*a, **o))),
    ("async many", lambda **o: AsyncMany(Many(**o)),
     lambda *a, **o: asyncio.run(aio.sign_many(*a, **o))),
    ("async each", lambda **o: AsyncEach(Each(**o)),
     lambda *a, **o: asyncio.run(aio.sign_many(*a, **o))),
]
IDS = [name for name, _, _ in SIGNERS]


def inner(signer):
    return getattr(signer, "inner", signer)


@pytest.mark.parametrize("name, make, sign_many", SIGNERS, ids=IDS)
def test_every_signer_signs_what_the_private_key_signs(name, make, sign_many):
    texts = [order.to_json() for order in ORDERS]
    mixed = [order if n % 2 else texts[n] for n, order in enumerate(ORDERS)]
    seen = []
    for items, options in [(ORDERS, {}), (texts, {"chunk_size": 4}), (mixed, {}),
                           (ORDERS, {"progress": lambda done, total: seen.append((done, total)),
                                     "chunk_size": 4})]:
        assert sign_many("limit-order", items, make(), **options) == NATIVE, (name, options)
    assert seen == [(4, 6), (6, 6)]
    assert sign_many("limit_order", [], make()) == []


@pytest.mark.parametrize("name, make, sign_many", SIGNERS, ids=IDS)
def test_outcomes_keep_every_refusal_in_place_and_sign_the_rest(name, make, sign_many):
    signer = make(refuse={3})
    items = [*ORDERS, "{}", ORDERS[0].to_json().replace('"nonce":"0"', '"nonce":"0","nonce":"0"'),
             dataclasses.replace(ORDER, public_key=OTHER.public_key.x), 7]
    got = sign_many("limit_order", items, signer, outcomes=True, chunk_size=4)
    assert [o.index for o in got] == list(range(10))
    assert [o.value for o in got[:6] if o.ok] == [s for n, s in enumerate(NATIVE) if n != 3]
    errors = [type(o.error) for o in got if not o.ok]
    assert errors == [PolicyRefused, InvalidDocument, InvalidDocument, KeyMismatch,
                      InvalidDocument], name
    assert got[3].error.rule == "max_amount_collateral"
    assert "repeated" in str(got[7].error)
    # Refused here, never sent: only the six orders reached the signer (a
    # BatchSigner without sign_each is asked item by item for a chunk it refused).
    calls = inner(signer).calls
    assert {value for method, value in calls if method == "sign"} <= set(range(6)), calls
    assert sum(value for method, value in calls if method != "sign") <= 6, calls


@pytest.mark.parametrize("name, make, sign_many", SIGNERS, ids=IDS)
def test_the_first_refusal_raises_noted_with_its_index_in_the_whole_batch(name, make,
                                                                          sign_many):
    for items, error, index in [
            (ORDERS, PolicyRefused, 5),
            ([*ORDERS[:2], "{}", *ORDERS[2:]], InvalidDocument, 2),
            ([*ORDERS[:3], dataclasses.replace(ORDER, public_key=OTHER.public_key.x)],
             KeyMismatch, 3)]:
        signer = make(refuse={5})
        with pytest.raises(error) as caught:
            sign_many("limit_order", items, signer, chunk_size=2)
        assert caught.value.__notes__ == [f"batch item {index}"], (name, error)
        if error is not PolicyRefused:  # every item is checked before any is signed
            assert inner(signer).calls == []


@pytest.mark.parametrize("name, make, sign_many", SIGNERS, ids=IDS)
def test_a_signer_that_is_down_fails_the_batch_even_with_outcomes(name, make, sign_many):
    with pytest.raises(SignerUnavailable):
        sign_many("limit_order", ORDERS, make(down=True), outcomes=True)


def test_messages_sign_through_any_signer_with_message_zero_refused_first():
    msgs = [1, "0x2", 2**200]
    native = batch.sign_messages(KEY, msgs)
    assert batch.sign_messages(Plain(), msgs) == native
    assert asyncio.run(aio.sign_messages(Async(Plain()), msgs, chunk_size=2)) == native
    signer = Plain()
    with pytest.raises(InvalidMessage) as caught:
        batch.sign_messages(signer, ["0x1", quillet.keys.SUBGROUP_ORDER])
    assert caught.value.__notes__ == ["batch item 1"] and signer.calls == []
    got = batch.sign_messages(signer, ["0x1", 0, "0xzz"], outcomes=True)
    assert [o.ok for o in got] == [True, False, False]
    assert got[0].value == batch.sign_messages(KEY, ["0x1"])[0]


@pytest.mark.parametrize("call", [
    lambda s: batch.sign_many("limit_order", ORDERS, s),
    lambda s: batch.sign_messages(s, ["0x1"], outcomes=True),
], ids=["sign_many", "sign_messages"])
def test_a_coroutine_signer_is_refused_by_the_blocking_batch_before_anything_is_sent(call):
    signer = AsyncEach(Each())
    with pytest.raises(TypeError, match="coroutines: sign with it through quillet.aio"):
        call(signer)
    assert signer.inner.calls == []


def test_a_signer_batch_checks_threads_and_kinds_as_every_batch_does():
    with pytest.raises(ValueError, match="threads must be"):
        batch.sign_many("limit_order", ORDERS, Plain(), threads=0)
    with pytest.raises(TypeError, match="is a limit_order document, not a transfer") as caught:
        batch.sign_many("transfer", ORDERS, Many())
    assert caught.value.__notes__ == ["batch item 0"]
