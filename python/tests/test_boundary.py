"""The module boundary: registration, argument binding and conversion,
failure classes."""

import pytest

import quillet_python_sdk as q

# name, parameters, guarded: the registration order of the module.
FUNCTIONS = [
    ("verify_signature", ("sig_r", "sig_s", "pub_key_x", "pub_key_y", "msg"), True),
    ("sign_withdraw", ("json", "pri_key"), True),
    ("sign_transfer", ("json", "pri_key"), True),
    ("sign_limit_order", ("json", "pri_key"), True),
    ("sign_liquidate", ("json", "pri_key"), True),
    ("sign_signed_oracle_price", ("json", "pri_key"), True),
    ("hash_withdraw", ("json",), False),
    ("hash_transfer", ("json",), False),
    ("hash_limit_order", ("json",), False),
    ("hash_liquidate", ("json",), False),
    ("hash_signed_oracle_price", ("json",), False),
    ("sign", ("private_key", "msg"), True),
    ("eth_sign", ("private_key", "msg"), True),
    ("private_key_from_seed", ("seed",), False),
    ("is_on_curve", ("x", "y"), False),
    ("public_key_to_xy", ("public_key",), False),
    ("private_key_to_public_key_xy", ("private_key",), False),
]
IDS = [f[0] for f in FUNCTIONS]


def quoted_list(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) == 2:
        return " and ".join(quoted)
    if len(quoted) > 2:
        return ", ".join(quoted[:-1]) + ", and " + quoted[-1]
    return quoted[0]


def test_all_lists_functions_in_registration_order():
    assert q.__all__ == IDS


@pytest.mark.parametrize("name,params,guarded", FUNCTIONS, ids=IDS)
def test_function_metadata(name, params, guarded):
    fn = getattr(q, name)
    assert fn.__name__ == name
    assert fn.__module__ == "quillet_python_sdk"
    assert fn.__text_signature__ == "(" + ", ".join(params) + ")"


@pytest.mark.parametrize("name,params,guarded", FUNCTIONS, ids=IDS)
def test_binding_errors(name, params, guarded):
    fn = getattr(q, name)
    n = len(params)
    cases = [
        ((("a",) * (n + 1)), {},
         f"{name}() takes {n} positional arguments but {n + 1} were given"),
        ((), {}, f"{name}() missing {n} required positional "
                 f"{'argument' if n == 1 else 'arguments'}: {quoted_list(params)}"),
        (("a",) * n, {params[0]: "b"},
         f"{name}() got multiple values for argument '{params[0]}'"),
        (("a",) * n, {"bogus": "b"}, f"{name}() got an unexpected keyword argument 'bogus'"),
        # Keywords are checked in the order given: the first fault wins.
        ((), {"bogus": "b", params[0]: "a"},
         f"{name}() got an unexpected keyword argument 'bogus'"),
    ]
    if n >= 2:
        cases.append((("a",) * (n - 1), {},
                      f"{name}() missing 1 required positional argument: '{params[-1]}'"))
        cases.append((("a",), {params[-1]: "z"},
                      f"{name}() missing {n - 2} required positional "
                      f"{'argument' if n - 2 == 1 else 'arguments'}: {quoted_list(params[1:-1])}")
                     if n > 2 else
                     (("a",), {params[0]: "z"},
                      f"{name}() got multiple values for argument '{params[0]}'"))
    for args, kwargs, text in cases:
        with pytest.raises(TypeError) as info:
            fn(*args, **kwargs)
        assert str(info.value) == text, (args, kwargs)


@pytest.mark.parametrize("name,params,guarded", FUNCTIONS, ids=IDS)
@pytest.mark.parametrize(
    "bad,type_name", [(1, "int"), (b"x", "bytes"), (None, "NoneType"), (1.5, "float"),
                      (["x"], "list")])
def test_conversion_errors_name_the_first_bad_argument(name, params, guarded, bad, type_name):
    fn = getattr(q, name)
    for i, param in enumerate(params):
        args = ["a"] * len(params)
        args[i] = bad
        if i + 1 < len(params):
            args[i + 1] = bad  # a later bad argument is not the one reported
        with pytest.raises(TypeError) as info:
            fn(*args)
        assert str(info.value) == (
            f"argument '{param}': '{type_name}' object cannot be converted to 'PyString'")
        assert info.value.__cause__ is None


def test_conversion_error_names_nested_class_by_qualname():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as info:
        q.hash_withdraw(Outer.Inner())
    assert str(info.value) == (
        "argument 'json': 'test_conversion_error_names_nested_class_by_qualname.<locals>."
        "Outer.Inner' object cannot be converted to 'PyString'")


@pytest.mark.parametrize("name,params,guarded", FUNCTIONS, ids=IDS)
def test_lone_surrogate_raises_the_interpreters_unicode_error(name, params, guarded):
    fn = getattr(q, name)
    with pytest.raises(UnicodeEncodeError):
        fn(*(["\ud800"] * len(params)))


def test_str_subclass_is_accepted_and_keywords_bind_like_positionals():
    class Text(str):
        pass

    seed = "s" * 40
    expected = q.private_key_from_seed(seed)
    assert q.private_key_from_seed(Text(seed)) == expected
    assert q.private_key_from_seed(seed=seed) == expected
    key, msg = expected, "0x2a"
    signature = q.sign(key, msg)
    assert q.sign(key, msg=msg) == signature
    assert q.sign(private_key=key, msg=msg) == signature
    assert q.sign(msg=msg, private_key=key) == signature
    assert q.sign(Text(key), Text(msg)) == signature


def test_panic_exception_class_facts():
    caught = []
    for _ in range(2):
        try:
            q.private_key_from_seed("short")
        except Exception:  # noqa: BLE001 - it must not land here
            pytest.fail("PanicException was caught by `except Exception`")
        except BaseException as e:  # noqa: BLE001
            caught.append(type(e))
    assert caught[0] is caught[1]
    panic = caught[0]
    assert panic.__name__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert panic.__doc__
    assert not hasattr(q, "PanicException")
    assert "PanicException" not in q.__all__


def test_module_has_a_doc_line():
    assert q.__doc__ and "\n" not in q.__doc__.strip()


def test_second_initialisation_raises_import_error(run_python):
    proc = run_python(
        "import sys, quillet_python_sdk\n"
        "del sys.modules['quillet_python_sdk']\n"
        "try:\n"
        "    import quillet_python_sdk\n"
        "except ImportError as e:\n"
        "    print('ImportError:', e)\n"
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("ImportError: ")


def test_core_failures_write_one_diagnostic_line_binding_errors_none(run_python):
    proc = run_python(
        "import quillet_python_sdk as q\n"
        "for call in (lambda: q.private_key_from_seed(), lambda: q.private_key_from_seed(1)):\n"
        "    try:\n"
        "        call()\n"
        "    except TypeError:\n"
        "        pass\n"
        "import sys; sys.stderr.flush()\n"
        "print('--', file=sys.stderr, flush=True)\n"
        "try:\n"
        "    q.private_key_from_seed('short')\n"
        "except BaseException as e:\n"
        "    print(e.args[0])\n"
    )
    assert proc.returncode == 0, proc.stderr
    before, after = proc.stderr.split("--\n")
    assert before == ""
    lines = after.splitlines()
    assert len(lines) == 1
    assert "Couldn't derive private key from seed: seed is too short" in lines[0]
    assert proc.stdout == "Couldn't derive private key from seed: seed is too short\n"
