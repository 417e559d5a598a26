"""Python module for signing and hashing quillet exchange transactions.

Every argument is a str (numbers as hexadecimal text, documents as JSON text)
and every result a str or a bool. Failures:

- TypeError: an argument is missing, repeated, unknown or not a str.
- ValueError("Any { .. }"): the signing functions and verify_signature refused
  their input; the reason goes to stderr only.
- PanicException: the other functions failed; the text says why. It derives
  from BaseException, so `except Exception` does not catch it. It is not an
  attribute of this module: the package quillet exports the class itself as
  `quillet.PanicException`, which `except` takes.
"""

# Registration order.
__all__ = [
    "verify_signature",
    "sign_withdraw",
    "sign_transfer",
    "sign_limit_order",
    "sign_liquidate",
    "sign_signed_oracle_price",
    "hash_withdraw",
    "hash_transfer",
    "hash_limit_order",
    "hash_liquidate",
    "hash_signed_oracle_price",
    "sign",
    "eth_sign",
    "private_key_from_seed",
    "is_on_curve",
    "public_key_to_xy",
    "private_key_to_public_key_xy",
]

def verify_signature(sig_r: str, sig_s: str, pub_key_x: str, pub_key_y: str, msg: str) -> bool:
    """True if the signature (sig_r, sig_s) of msg verifies under the packed key pub_key_x."""

def sign_withdraw(json: str, pri_key: str) -> str:
    """The signature JSON {"r":…,"s":…} of a withdrawal document."""

def sign_transfer(json: str, pri_key: str) -> str:
    """The signature JSON {"r":…,"s":…} of a transfer document."""

def sign_limit_order(json: str, pri_key: str) -> str:
    """The signature JSON {"r":…,"s":…} of a limit order document."""

def sign_liquidate(json: str, pri_key: str) -> str:
    """The signature JSON {"r":…,"s":…} of a liquidation document."""

def sign_signed_oracle_price(json: str, pri_key: str) -> str:
    """The signature JSON {"r":…,"s":…} of a signed oracle price document."""

def hash_withdraw(json: str) -> str:
    """The Poseidon hash ("0x" and 64 hex digits) of a withdrawal document."""

def hash_transfer(json: str) -> str:
    """The Poseidon hash ("0x" and 64 hex digits) of a transfer document."""

def hash_limit_order(json: str) -> str:
    """The Poseidon hash ("0x" and 64 hex digits) of a limit order document."""

def hash_liquidate(json: str) -> str:
    """The Poseidon hash ("0x" and 64 hex digits) of a liquidation document."""

def hash_signed_oracle_price(json: str) -> str:
    """The Poseidon hash ("0x" and 64 hex digits) of a signed oracle price document."""

def sign(private_key: str, msg: str) -> str:
    """The signature JSON {"r":…,"s":…} of a 256-bit message given as hex text."""

def eth_sign(private_key: str, msg: str) -> str:
    """The L1 signature JSON {"x","y","s","pk_x","pk_y"} of a 256-bit message."""

def private_key_from_seed(seed: str) -> str:
    """The private key text derived from a seed of at least 32 UTF-8 bytes."""

def is_on_curve(x: str, y: str) -> bool:
    """Whether the public-key text pair (x = packed key, y = affine x) is on the curve."""

def public_key_to_xy(public_key: str) -> str:
    """The public-key JSON {"x","y"} of a packed public key."""

def private_key_to_public_key_xy(private_key: str) -> str:
    """The public-key JSON {"x","y"} of a private key."""
