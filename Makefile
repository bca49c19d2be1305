# Everything starts from tools/bootstrap.sh, which prepares .venv on a fresh machine.
VENV   := .venv
PYTHON := $(VENV)/bin/python

.PHONY: bootstrap test demo check-wheel bench clean

bootstrap:
	@tools/bootstrap.sh

test: bootstrap
	$(PYTHON) -m pytest -q tests

demo: bootstrap
	@tools/demo.sh

# Wheel and sdist; the wheel installed into a fresh venv runs the demonstration.
check-wheel:
	@tools/check-wheel.sh

bench: bootstrap
	$(PYTHON) bench/bench.py

clean:
	rm -rf build builddir* dist .venv
