"""Prints a suite's counts from pytest's JUnit XML file (--junitxml), the
second half of a CI result line: "269 passed, 0 failed, 0 errors, 1 skipped
in 84.1 s". A missing or unreadable file says so instead, and exits 1."""

import sys
import xml.etree.ElementTree as ET

try:
    root = ET.parse(sys.argv[1]).getroot()
except (OSError, ET.ParseError) as error:
    print(f"no pytest report ({error})")
    sys.exit(1)
suites = [root] if root.tag == "testsuite" else root.findall("testsuite")
counts = {key: sum(int(s.get(key, 0)) for s in suites) for key in ("tests", "failures", "errors", "skipped")}
seconds = sum(float(s.get("time", 0)) for s in suites)
passed = counts["tests"] - counts["failures"] - counts["errors"] - counts["skipped"]
print(f"{passed} passed, {counts['failures']} failed, {counts['errors']} errors, {counts['skipped']} skipped"
      f" in {seconds:.1f} s")
