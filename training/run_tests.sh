#!/bin/sh
# Unit tests and a few-step training smoke run of the model toolchain.
# Prints "N passed, M failed"; exits 0 when nothing failed.
cd "$(dirname "$0")" || exit 1
PY=/usr/bin/python3
[ -x "$PY" ] || PY=python3
exec "$PY" - <<'PYEOF'
import sys, unittest
suite = unittest.defaultTestLoader.discover("tests", top_level_dir=".")
res = unittest.TextTestRunner(verbosity=1).run(suite)
failed = len(res.failures) + len(res.errors)
skipped = len(res.skipped)
passed = res.testsRun - failed - skipped
for _, why in res.skipped:
    print("skipped:", why)
print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
sys.exit(1 if failed else 0)
PYEOF
