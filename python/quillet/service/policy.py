"""A client's rules, checked on typed documents.

Pure functions: the typed document (whose values are exactly what the
signature binds, since what is signed is its own JSON), the client's rules
and the time. A refusal names the configuration key that refused
(`rule`), the document's field, the limit and the value, written as the
documents write them: decimal text for numbers, the document's own text for
ids. Rules name only what the hash binds: a transfer's receiver is its
position, never its `receiver_public_key`, which the hash leaves out.

The daily caps (`max_amount_per_day`) are counted in the journal's
transaction (quillet.service.storage); `velocity_amount` says what a
document counts.
"""

from __future__ import annotations

from dataclasses import dataclass
from decimal import Context, Decimal
from typing import Any

from quillet.documents import (HEX, Document, LimitOrder, Liquidation, SignedOraclePrice,
                               Transfer, Withdrawal)
from quillet.service.config import ClientConfig, KindRules

# Where each kind names its signer's key (the one rule that ties a document
# to the key signing it).
NAMED_KEY_FIELD = {"liquidate": "liquidator_order.public_key",
                   "signed_oracle_price": "signer_key"}


@dataclass(frozen=True, slots=True)
class Refusal:
    """Why a request or document is refused: the answer's status and body."""

    rule: str
    field: str | None = None
    limit: str | None = None
    value: str | None = None
    status: int = 403

    def body(self) -> dict[str, Any]:
        return {"error": "policy", "rule": self.rule, "field": self.field, "limit": self.limit,
                "value": self.value}


def _id(text: str) -> int:
    return int(HEX.fullmatch(text).group(1), 16)  # type: ignore[union-attr]  # checked by the document


def _allowed(rules: KindRules, rule: str, field: str, value: int, shown: str) -> Refusal | None:
    allowed: frozenset[int] | None = getattr(rules, rule)
    if allowed is not None and value not in allowed:
        return Refusal(rule, field, None, shown)
    return None


def _at_most(rules: KindRules, rule: str, field: str, value: int) -> Refusal | None:
    limit: int | None = getattr(rules, rule)
    if limit is not None and value > limit:
        return Refusal(rule, field, str(limit), str(value))
    return None


def _expiration(rules: KindRules, field: str, expiration: int, now: int) -> Refusal | None:
    left = expiration - now
    low, high = rules.expiration_min_seconds, rules.expiration_max_seconds
    if low is not None and left < low:
        return Refusal("expiration_min_seconds", field, str(low), str(left))
    if high is not None and left > high:
        return Refusal("expiration_max_seconds", field, str(high), str(left))
    return None


_RATIO_CONTEXT = Context(prec=12)


def _order(rules: KindRules, order: LimitOrder, now: int, prefix: str = "") -> Refusal | None:
    refusal = (
        _allowed(rules, "asset_id_synthetic", prefix + "asset_id_synthetic",
                 _id(order.asset_id_synthetic), order.asset_id_synthetic)
        or _allowed(rules, "asset_id_collateral", prefix + "asset_id_collateral",
                    _id(order.asset_id_collateral), order.asset_id_collateral)
        or _allowed(rules, "position_ids", prefix + "position_id", order.position_id,
                    str(order.position_id))
        or _at_most(rules, "max_amount_synthetic", prefix + "amount_synthetic",
                    order.amount_synthetic)
        or _at_most(rules, "max_amount_collateral", prefix + "amount_collateral",
                    order.amount_collateral)
        or _at_most(rules, "max_amount_fee", prefix + "amount_fee", order.amount_fee))
    if refusal is not None:
        return refusal
    ratio = rules.max_fee_ratio
    # fee / collateral <= num / den, exactly, in integers (a fee on no
    # collateral exceeds every ratio).
    if ratio is not None and \
            order.amount_fee * ratio.value.denominator > \
            ratio.value.numerator * order.amount_collateral:
        shown = "inf" if order.amount_collateral == 0 else \
            str(_RATIO_CONTEXT.divide(Decimal(order.amount_fee), Decimal(order.amount_collateral)))
        return Refusal("max_fee_ratio", prefix + "amount_fee", ratio.text, shown)
    return _expiration(rules, prefix + "expiration_timestamp", order.expiration_timestamp, now)


def _liquidation(rules: KindRules, document: Liquidation, now: int) -> Refusal | None:
    return (_order(rules, document.liquidator_order, now, "liquidator_order.")
            or _allowed(rules, "liquidated_position_ids", "liquidated_position_id",
                        document.liquidated_position_id, str(document.liquidated_position_id))
            or _at_most(rules, "max_actual_collateral", "actual_collateral",
                        document.actual_collateral)
            or _at_most(rules, "max_actual_synthetic", "actual_synthetic",
                        document.actual_synthetic)
            or _at_most(rules, "max_actual_liquidator_fee", "actual_liquidator_fee",
                        document.actual_liquidator_fee))


def _transfer(rules: KindRules, document: Transfer, now: int) -> Refusal | None:
    return (_allowed(rules, "asset_id", "asset_id", _id(document.asset_id), document.asset_id)
            or _allowed(rules, "position_ids", "sender_position_id", document.sender_position_id,
                        str(document.sender_position_id))
            or _allowed(rules, "receivers", "receiver_position_id",
                        document.receiver_position_id, str(document.receiver_position_id))
            or _at_most(rules, "max_amount", "amount", document.amount)
            or _expiration(rules, "expiration_timestamp", document.expiration_timestamp, now))


def _withdrawal(rules: KindRules, document: Withdrawal, now: int) -> Refusal | None:
    return (_allowed(rules, "asset_id", "asset_id", _id(document.asset_id), document.asset_id)
            or _allowed(rules, "position_ids", "position_id", document.position_id,
                        str(document.position_id))
            or _allowed(rules, "eth_addresses", "eth_address", _id(document.eth_address),
                        document.eth_address)
            or _at_most(rules, "max_amount", "amount", document.amount)
            or _expiration(rules, "expiration_timestamp", document.expiration_timestamp, now))


def _oracle_price(rules: KindRules, document: SignedOraclePrice, now: int) -> Refusal | None:
    refusal = _allowed(rules, "signed_asset_id", "signed_asset_id",
                       _id(document.signed_asset_id), document.signed_asset_id)
    age = abs(now - document.timestamp)
    if refusal is None and rules.max_age_seconds is not None and age > rules.max_age_seconds:
        refusal = Refusal("max_age_seconds", "timestamp", str(rules.max_age_seconds), str(age))
    return refusal


_CHECKS: dict[str, Any] = {"limit_order": _order, "liquidate": _liquidation,
                           "transfer": _transfer, "withdraw": _withdrawal,
                           "signed_oracle_price": _oracle_price}


def section(client: ClientConfig, kind: str) -> KindRules | Refusal:
    """The client's rules for `kind`, or why it may sign none of it: the kind
    is not among its kinds, or its section names no rule and does not say
    `unrestricted = true` (nothing is allowed by omission)."""
    if kind not in client.kinds:
        return Refusal("kinds", None, None, kind)
    rules = client.rules.get(kind)
    if rules is None or not (rules.unrestricted or rules.named()):
        return Refusal("unrestricted")
    return rules


def check(rules: KindRules, document: Document, now: int) -> Refusal | None:
    """Why `document` breaks `rules` at `now` (whole seconds since 1970), or
    None. The first rule broken is named, in the order of the fields."""
    result: Refusal | None = _CHECKS[document.KIND](rules, document, now)
    return result


def velocity_amount(document: Document) -> tuple[str, int] | None:
    """What a document counts towards its kind's daily cap: (asset id as
    "0x" and 64 digits, amount). An order counts its amount_collateral in its
    collateral asset (a liquidation its liquidator order's), a transfer or
    withdrawal its amount in its asset_id; an oracle price nothing."""
    if isinstance(document, Liquidation):
        document = document.liquidator_order
    if isinstance(document, LimitOrder):
        return f"0x{_id(document.asset_id_collateral):064x}", document.amount_collateral
    if isinstance(document, (Transfer, Withdrawal)):
        return f"0x{_id(document.asset_id):064x}", document.amount
    return None


def nonce_key(document: Document) -> str:
    """What the double-sign guard keys a document by, beside its key and
    kind: its nonce (a liquidation's liquidator order's); for an oracle
    price, its signed asset and timestamp."""
    if isinstance(document, SignedOraclePrice):
        return f"0x{_id(document.signed_asset_id):064x}:{document.timestamp}"
    if isinstance(document, Liquidation):
        return str(document.liquidator_order.nonce)
    return str(document.nonce)  # type: ignore[attr-defined]  # the three with a nonce


__all__ = ["NAMED_KEY_FIELD", "Refusal", "check", "nonce_key", "section", "velocity_amount"]
