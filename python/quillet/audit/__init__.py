"""Auditing whole order logs: does every record carry a valid signature by the
key its document names, over a hash that matches its fields?

    from quillet import audit
    result = audit.audit(["orders.ndjson.gz"])          # one process per core
    result = audit.audit(["orders.parquet"], dask="local:4")
    print(result.table()); exit(0 if result.ok else 1)

The log format, its reader and writer: quillet.audit.log. The check of one
record and its outcomes: quillet.audit.check. Sample logs with corrupted
records: quillet.audit.sample. Parquet and Dask need the extra
`quillet_python_sdk[audit]` (pyarrow, dask[distributed]).
"""

from quillet.audit.check import OUTCOMES, Outcome
from quillet.audit.log import LogError, LogWriter, Record, read_log, write_log
from quillet.audit.run import AuditError, AuditResult, Issue, ProgressBar, audit
from quillet.audit.sample import CORRUPTIONS, EXPECTED, Corruption, sample_log

__all__ = ["CORRUPTIONS", "EXPECTED", "OUTCOMES", "AuditError", "AuditResult", "Corruption",
           "Issue", "LogError", "LogWriter", "Outcome", "ProgressBar", "Record", "audit",
           "read_log", "sample_log", "write_log"]
