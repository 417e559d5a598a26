"""Whatever the arguments, each of the seventeen functions returns its result
type or raises one of four exceptions: TypeError (binding, or an argument that
is not a str), UnicodeEncodeError (a str with lone surrogates), ValueError
"Any { .. }" (guarded functions only) or PanicException (unguarded ones
only). The same arguments always give the same outcome."""

import json

from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import quillet_python_sdk as q
from samples import DOCUMENTS, text

KEY = q.private_key_from_seed("property tests of the module, a seed text")
PUB = json.loads(q.private_key_to_public_key_xy(KEY))
SIG = json.loads(q.sign(KEY, "0x1234"))
ORDER_S = 2736030358979909402780800718157159386076813972158567259200215660948447373041

HEXES = [KEY, PUB["x"], PUB["y"], SIG["r"], SIG["s"], "0x1234", "0x" + "f" * 64,
         "0x%064x" % ORDER_S, "0X0x" + KEY[2:], "0x" + "1" * 40, ""]
DOCS = [text(kind) for kind in DOCUMENTS] + [json.dumps(list(DOCUMENTS["signed_oracle_price"].values()))]
TOKENS = ["0x", "0X", "{", "}", "[", "]", '"', ",", ":", "\\", "\\u0000", "null", "true", "-",
          "+", "f" * 16, "\n", "\U0001f600", "\ud800"]

# name: (parameters, guarded, result type)
FUNCTIONS = {
    "verify_signature": (("sig_r", "sig_s", "pub_key_x", "pub_key_y", "msg"), True, bool),
    "sign_withdraw": (("json", "pri_key"), True, str),
    "sign_transfer": (("json", "pri_key"), True, str),
    "sign_limit_order": (("json", "pri_key"), True, str),
    "sign_liquidate": (("json", "pri_key"), True, str),
    "sign_signed_oracle_price": (("json", "pri_key"), True, str),
    "hash_withdraw": (("json",), False, str),
    "hash_transfer": (("json",), False, str),
    "hash_limit_order": (("json",), False, str),
    "hash_liquidate": (("json",), False, str),
    "hash_signed_oracle_price": (("json",), False, str),
    "sign": (("private_key", "msg"), True, str),
    "eth_sign": (("private_key", "msg"), True, str),
    "private_key_from_seed": (("seed",), False, str),
    "is_on_curve": (("x", "y"), False, bool),
    "public_key_to_xy": (("public_key",), False, str),
    "private_key_to_public_key_xy": (("private_key",), False, str),
}


class Text(str):
    """A str subclass: accepted like str."""


@st.composite
def mutated(draw, bases):
    s = draw(st.sampled_from(bases))
    if draw(st.booleans()):
        return s
    for _ in range(draw(st.integers(1, 4))):
        at = draw(st.integers(0, len(s)))
        op = draw(st.integers(0, 3))
        if op == 0:
            s = s[:at] + draw(st.sampled_from(TOKENS)) + s[at:]
        elif op == 1:
            s = s[:at] + s[at + draw(st.integers(1, 8)):]
        elif op == 2:
            s = s[:at] + draw(st.text(max_size=3)) + s[at:]
        else:
            s = s.upper() if draw(st.booleans()) else s[::-1]
    return s


TEXTS = st.one_of(
    mutated(HEXES),
    mutated(DOCS),
    st.text(alphabet="0123456789abcdefABCDEFxX", max_size=70),
    st.text(max_size=80),  # any code point, lone surrogates included
)
ARGUMENT = st.one_of(
    TEXTS,
    TEXTS.map(Text),
    st.sampled_from([None, 0, 1.5, b"0x12", bytearray(b"{}"), ["0x1"], object()]),
)


def has_surrogate(s):
    return any(0xD800 <= ord(c) <= 0xDFFF for c in s)


def outcome(fn, args, kwargs):
    """The result, or the exception's class name and arguments."""
    try:
        return ("value", fn(*args, **kwargs))
    except BaseException as e:  # PanicException derives from BaseException
        return (type(e).__name__, e.args if not isinstance(e, UnicodeEncodeError) else str(e))


def check_outcome(name, args, kwargs, result):
    params, guarded, result_type = FUNCTIONS[name]
    bound = dict(zip(params, args))
    binds = len(args) <= len(params) and all(
        k in params and k not in bound for k in kwargs) and set(bound) | set(kwargs) == set(params)
    values = list(args) + list(kwargs.values())
    all_text = all(isinstance(v, str) for v in values)
    kind, payload = result
    unencodable = any(isinstance(v, str) and has_surrogate(v) for v in values)
    if kind == "value":
        assert binds and all_text and not unencodable
        assert type(payload) is result_type
    elif kind == "TypeError":
        assert not (binds and all_text), payload
    elif kind == "UnicodeEncodeError":
        assert binds and unencodable
    elif kind == "ValueError":
        assert guarded and payload == ("Any { .. }",)
    elif kind == "PanicException":
        assert not guarded and len(payload) == 1 and isinstance(payload[0], str)
    else:
        raise AssertionError(f"{name} raised {kind}{payload!r}")


def check_call(name, args, kwargs=None):
    kwargs = kwargs or {}
    fn = getattr(q, name)
    first = outcome(fn, args, kwargs)
    event(first[0])
    check_outcome(name, args, kwargs, first)
    assert outcome(fn, args, kwargs) == first


SETTINGS = settings(max_examples=120, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


# Arguments near what each parameter expects, so that many calls get past
# parsing.
NEAR = {
    "json": mutated(DOCS),
    "pri_key": mutated([KEY, "0x%064x" % (ORDER_S - 1)]),
    "msg": mutated(["0x1234", "1234", "0X1", "", "0x" + "f" * 64]),
    "sig_r": mutated([SIG["r"]]),
    "sig_s": mutated([SIG["s"]]),
    "pub_key_x": mutated([PUB["x"], "0x" + "1" * 40]),
    "pub_key_y": mutated([PUB["y"]]),
    "seed": st.text(max_size=40),
}
NEAR["private_key"] = NEAR["pri_key"]
NEAR["x"] = NEAR["public_key"] = NEAR["pub_key_x"]
NEAR["y"] = NEAR["pub_key_y"]


def varied(draw, doc):
    """`doc` with a few values replaced by numbers in and around their range."""
    doc = dict(doc)
    for key in draw(st.lists(st.sampled_from(sorted(doc)), max_size=3, unique=True)):
        old = doc[key]
        if isinstance(old, dict):
            doc[key] = varied(draw, old)
        elif isinstance(old, bool):
            doc[key] = draw(st.sampled_from([True, False, "true", 1, None]))
        elif old.startswith("0x"):
            v = draw(st.integers(-(2**128), 2**257))
            doc[key] = "0x-%x" % -v if v < 0 else draw(st.sampled_from(["0x%x", "%X", "0x%064x"])) % v
        else:
            doc[key] = str(draw(st.integers(-1, 2**129)))
    return doc


@st.composite
def document(draw, kind):
    doc = varied(draw, DOCUMENTS[kind])
    if kind in ("liquidate", "signed_oracle_price") and draw(st.booleans()):
        return json.dumps(list(doc.values()))
    return json.dumps(doc)


def near(name, param):
    kind = name.split("_", 1)[1] if name.startswith(("hash_", "sign_")) else None
    if param == "json" and kind in DOCUMENTS:
        return st.one_of(document(kind), mutated([text(kind)]), NEAR["json"])
    return NEAR[param]


def positional(name):
    return st.tuples(*[st.one_of(near(name, p), near(name, p), ARGUMENT)
                       for p in FUNCTIONS[name][0]]).map(list)


@SETTINGS
@given(data=st.data(), name=st.sampled_from(sorted(FUNCTIONS)))
def test_any_text_arguments(data, name):
    check_call(name, data.draw(positional(name)))


@SETTINGS
@given(data=st.data(), name=st.sampled_from(sorted(FUNCTIONS)))
def test_any_binding(data, name):
    params = FUNCTIONS[name][0]
    args = data.draw(st.lists(ARGUMENT, max_size=len(params) + 1))
    names = st.sampled_from(list(params) + ["json", "key", "x", "msg", "seed"])
    kwargs = data.draw(st.dictionaries(names, ARGUMENT, max_size=len(params)))
    check_call(name, args, kwargs)


# Every function once more with more examples, so that each one gets its
# share whatever the draw above.
def make_per_function_test(name):
    @settings(max_examples=40, deadline=None, database=None,
              suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
    @given(args=positional(name))
    def test(args):
        check_call(name, args)

    test.__name__ = f"test_{name}_outcomes"
    return test


for _name in FUNCTIONS:
    globals()[f"test_{_name}_outcomes"] = make_per_function_test(_name)
