# Everything starts from tools/bootstrap.sh, which prepares .venv on a fresh machine.
VENV   := .venv
PYTHON := $(VENV)/bin/python

.PHONY: bootstrap test demo clean

bootstrap:
	@tools/bootstrap.sh

test: bootstrap
	$(PYTHON) -m pytest -q tests

demo: bootstrap
	@tools/demo.sh

clean:
	rm -rf build builddir* dist .venv
