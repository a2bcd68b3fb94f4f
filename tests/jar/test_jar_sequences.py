"""Cookie jars against the sequences recorded from Chromium
(tests/data/browser_sequences.json, recorded by ``python -m tools.recorder
record-sequences``; no browser is needed here).

Every scenario is replayed, step by step, through a fresh jar of each
implementation: the Cookie header of each request, what document.cookie
showed and the whole store after each step must be what Chromium did.
"""

import json
from pathlib import Path

import pytest

from conftest import JARS
from tools.recorder.form import replay

DOC = json.loads((Path(__file__).parent.parent / "data" / "browser_sequences.json").read_text())
SCENARIOS = DOC["scenarios"]


@pytest.mark.parametrize("jar_class", JARS)
@pytest.mark.parametrize("scenario", [pytest.param(s, id=s["id"]) for s in SCENARIOS])
def test_recorded_scenario(jar_class, scenario):
    problems = replay(jar_class, scenario)
    assert not problems, "\n".join([scenario["title"], *problems])
