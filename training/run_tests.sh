#!/bin/sh
# Unit tests, a few-step training smoke run and the library parity test of the
# model toolchain.  Prints "N passed, M failed, K skipped"; exits 1 on failure.
cd "$(dirname "$0")" || exit 1
PY=/usr/bin/python3
[ -x "$PY" ] || PY=python3
exec "$PY" - <<'PYEOF'
import sys, unittest
try:
    import numpy, scipy  # noqa: F401
except ImportError as e:
    print("skipped: %s (apt-get install python3-numpy python3-scipy python3-torch)" % e)
    print("0 passed, 0 failed, 1 skipped")
    sys.exit(0)
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
