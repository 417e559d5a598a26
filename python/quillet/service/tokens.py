"""Client tokens and the salted hashes the configuration keeps of them.

A token is a bearer secret: whoever holds it is the client. The configuration
holds only `sha256$SALT$DIGEST`, DIGEST = HMAC-SHA256(SALT, token), so a
leaked configuration names no token. The hash is fast (every request is
checked against every client), so a token must be unguessable by itself:
`hash_token` refuses one shorter than MIN_LENGTH characters, and
`generate` draws 32 bytes from the operating system.
"""

from __future__ import annotations

import hashlib
import hmac
import re
import secrets
from dataclasses import dataclass

MIN_LENGTH = 32
_SCHEME = "sha256"
_FORM = re.compile(r"sha256\$([0-9a-f]{32})\$([0-9a-f]{64})")


class TokenError(ValueError):
    """A token or token hash that cannot be used; never quotes the token."""


@dataclass(frozen=True, slots=True)
class TokenHash:
    """A parsed token hash: the salt and the digest."""

    salt: bytes
    digest: bytes

    @classmethod
    def parse(cls, text: object) -> TokenHash:
        match = _FORM.fullmatch(text) if isinstance(text, str) else None
        if match is None:
            raise TokenError('expected "sha256$" and 32 and 64 hex digits, as '
                             "`quillet signer hash-token` prints it")
        return cls(bytes.fromhex(match.group(1)), bytes.fromhex(match.group(2)))

    def matches(self, token: bytes) -> bool:
        """Whether `token` hashes to this digest, compared in constant time."""
        return hmac.compare_digest(hmac.digest(self.salt, token, hashlib.sha256), self.digest)


def hash_token(token: str) -> str:
    """The configuration's text for `token`, under a fresh salt."""
    if not token.isascii() or not token.isprintable() or " " in token:
        raise TokenError("a token is printable ASCII without spaces (it travels in an HTTP "
                         "header)")
    if len(token) < MIN_LENGTH:
        raise TokenError(f"a token has at least {MIN_LENGTH} characters (the hash is fast, so "
                         "the token itself must be unguessable); --generate makes one")
    salt = secrets.token_bytes(16)
    digest = hmac.digest(salt, token.encode("ascii"), hashlib.sha256)
    return f"{_SCHEME}${salt.hex()}${digest.hex()}"


def generate() -> str:
    """A fresh token: 32 random bytes as 43 URL-safe characters."""
    return secrets.token_urlsafe(32)


__all__ = ["MIN_LENGTH", "TokenError", "TokenHash", "generate", "hash_token"]
