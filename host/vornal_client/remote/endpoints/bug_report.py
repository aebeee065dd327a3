"""Bug reports, never sent over a network: kept in `SENT_REPORTS` and, if $VORNAL_BUG_REPORT_FILE
is set, appended to that file as one JSON object per line."""
import json
import os

from pydantic import BaseModel

SENT_REPORTS: list = []


class BugReportCreateV3(BaseModel):
    subject: str
    description: str


def report_bug(payload: BugReportCreateV3) -> None:
    SENT_REPORTS.append(payload)
    path = os.environ.get("VORNAL_BUG_REPORT_FILE")
    if path:
        with open(path, "a", encoding="utf-8") as f:
            f.write(payload.model_dump_json() + "\n")
