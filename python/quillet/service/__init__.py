"""The signing service, `quillet signer`: keys kept in one process, away from
the bots, signing what each client's policy allows and journaling every
decision (docs/SIGNER.md).

Light modules, importable without the extra `signer` (standard library and
quillet only): `config` (the checked configuration), `tokens` (client
tokens and their salted hashes), `policy` (the rules on typed documents),
`storage` (the journal: the double-sign guard, the velocity counters, the
records). The HTTP side needs the extra: `app` (the routes), `protocol`
(the connection's peer certificate), `observe` (logs and metrics), `server`
(`serve`).
"""
