#!/bin/sh
# Prints, after ctest's own list of the tests that did not run, why each
# skipped: the message of GoogleTest's skip, or all that a script printed.
# Reads the JUnit report that ctest wrote (the test presets' outputJUnitFile)
# and prints nothing where there is none; never fails, since ctest would then
# fail the run.
# Usage: skip_reasons.sh JUNIT_FILE
[ -f "$1" ] || exit 0
awk '
  function text(s) {
    gsub(/&lt;/, "<", s); gsub(/&gt;/, ">", s); gsub(/&quot;/, "\"", s)
    gsub(/&apos;/, "\047", s); gsub(/&amp;/, "\\&", s)
    return s
  }
  function add(to, line) { return to == "" ? line : to " " line }
  /<testcase name="/ {
    name = $0
    sub(/.*<testcase name="/, "", name); sub(/".*/, "", name); sub(/  # GetParam\(\) = .*/, "", name)
    skipped = output = in_skip = gtest = 0; all = message = ""
  }
  /<skipped / { skipped = 1 }
  /<system-out>/ { output = 1; sub(/.*<system-out>/, "") }
  output {
    closing = sub(/<\/system-out>.*/, "")
    if (/^\[  SKIPPED \]/) in_skip = 0
    if (in_skip && NF) message = add(message, $0)
    if (/: Skipped$/) in_skip = gtest = 1
    if (NF) all = add(all, $0)
    if (closing) output = 0
  }
  /<\/testcase>/ && skipped {
    if (!shown++) print "Why they did not run:"
    reason = gtest ? message : all
    print "\t" text(name) ": " (reason == "" ? "(no reason given)" : text(reason))
  }
' "$1"
exit 0
