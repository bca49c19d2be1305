# Everything starts from tools/bootstrap.sh, which prepares .venv on a fresh machine.
VENV   := .venv
PYTHON := $(VENV)/bin/python

.PHONY: bootstrap test test-matrix demo check-wheel bench clean

bootstrap:
	@tools/bootstrap.sh

test: bootstrap
	@tools/test-protocol.sh
	$(PYTHON) -m pytest -q tests

# The wheel built and the suite run on each supported CPython (3.11 to 3.13)
# that pyenv or PATH provides; a missing one is skipped with a line saying so.
test-matrix:
	@tools/test-matrix.sh

demo: bootstrap
	@tools/demo.sh

# Wheel and sdist; the wheel installed into a fresh venv runs the demonstration.
check-wheel:
	@tools/check-wheel.sh

bench: bootstrap
	$(PYTHON) bench/bench.py
	$(PYTHON) bench/ctl_bench.py
	$(PYTHON) bench/attenuator_bench.py
	$(PYTHON) bench/connections_bench.py
	$(PYTHON) bench/frameworks_bench.py
	$(PYTHON) bench/ioc_bench.py
	$(PYTHON) bench/tango_bench.py
	$(PYTHON) bench/panel_bench.py
	$(PYTHON) bench/simulator_bench.py

clean:
	rm -rf build builddir* dist .venv

# --- hardening ---
# Sanitizers, reference counts, valgrind and the generated-input tests. Each
# check builds its own copy of the module under build/ (never installed).
# `make fuzz` takes its budget from HYPOTHESIS_PROFILE: ci (the default, as in
# every suite run), deep (CI's fuzz step) or long (what fuzz-long uses).
.PHONY: check-asan check-refs check-valgrind check-windows fuzz fuzz-long

check-asan:
	@tools/check-asan.sh

check-refs:
	@tools/check-refs.sh

check-valgrind:
	@tools/check-valgrind.sh

# The extension modules cross-built for win_amd64 (mingw-w64) and run by a
# Windows CPython under wine against kq2741-sim through a COM port.
check-windows:
	@tools/check-windows.sh

fuzz: bootstrap
	HYPOTHESIS_PROFILE=$${HYPOTHESIS_PROFILE:-ci} $(PYTHON) -m pytest -q -p no:cacheprovider tests/test_fuzz.py

fuzz-long: bootstrap
	HYPOTHESIS_PROFILE=long $(PYTHON) -m pytest -q -p no:cacheprovider tests/test_fuzz.py --hypothesis-show-statistics
