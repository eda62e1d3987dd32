"""Prints a suite's counts from pytest's JUnit XML file (--junitxml), the
second half of a CI result line: "269 passed, 0 failed, 0 errors, 1 skipped
of 270 collected in 84.1 s", and judges the suite by them.

    junit_result.py JUNIT_XML EXIT_STATUS COLLECTED

COLLECTED is the number of tests pytest collects from the suite's paths
(--collect-only). The suite failed if it exited non-zero, or its report
shows a failure or an error, or reports fewer tests than were collected:
none at all, or a subset chosen with -k or a path. Then the line starts with
FAILED and why, and this exits 1; a missing or unreadable file too."""

import sys
import xml.etree.ElementTree as ET

path, status, collected = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
problems = [f"status {status}"] if status else []
try:
    root = ET.parse(path).getroot()
except (OSError, ET.ParseError) as error:
    print(f"FAILED ({', '.join(problems + ['no pytest report'])}): {error}")
    sys.exit(1)
suites = [root] if root.tag == "testsuite" else root.findall("testsuite")
counts = {key: sum(int(s.get(key, 0)) for s in suites) for key in ("tests", "failures", "errors", "skipped")}
seconds = sum(float(s.get("time", 0)) for s in suites)
passed = counts["tests"] - counts["failures"] - counts["errors"] - counts["skipped"]
# A test's entry has a class name, the part of its id before "::". A module
# skipped or broken as a whole has an entry of its own, without one, and is
# no test of the collection.
reported = sum(1 for s in suites for case in s.iter("testcase") if case.get("classname"))
if counts["failures"] or counts["errors"]:
    problems.append(f"{counts['failures']} failed, {counts['errors']} errors")
if reported < collected or not collected:
    problems.append(f"{reported} of the {collected} collected tests reported")
line = (f"{passed} passed, {counts['failures']} failed, {counts['errors']} errors, {counts['skipped']} skipped"
        f" of {collected} collected in {seconds:.1f} s")
if problems:
    print(f"FAILED ({'; '.join(problems)}): {line}")
    sys.exit(1)
print(line)
