"""kovel_python/unicode_tables.inc is what its generator makes from the Unicode data it names."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
UCD = Path("/usr/share/unicode")  # Debian's unicode-data package


def test_unicode_tables_match_their_generator(tmp_path):
    committed = (ROOT / "kovel_python" / "unicode_tables.inc").read_text()
    version = re.search(r'kUnicodeVersion\[\] = "([\d.]+)"', committed).group(1)
    if not (UCD / "UnicodeData.txt").exists():
        pytest.skip("no Unicode data here (apt-get install unicode-data)")
    readme = (UCD / "ReadMe.txt").read_text(errors="replace") if (UCD / "ReadMe.txt").exists() else ""
    derived = (UCD / "DerivedCoreProperties.txt").open().readline()
    if version not in readme and version not in derived:
        pytest.skip(f"the Unicode data here is not version {version}")
    out = tmp_path / "unicode_tables.inc"
    subprocess.run(
        [sys.executable, ROOT / "tools" / "gen_unicode_tables.py", "--ucd", UCD, "--out", out], check=True
    )
    assert out.read_text() == committed
