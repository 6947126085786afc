# Set-up and checks. `make test` and `make demo` work on a fresh machine: each builds a virtual environment,
# installs the package into it with `pip install .` and runs.

PYTHON ?= python3
VENV ?= .venv
# The host runs Python 3.10: where pyenv has it, the suite runs there too.
PYENV_ROOT ?= $(HOME)/.pyenv
PYTHON310 ?= $(lastword $(wildcard $(PYENV_ROOT)/versions/3.10*/bin/python3.10))
VENV310 ?= .venv310
PYTEST_ARGS ?=

comma := ,
SOURCES := pyproject.toml CMakeLists.txt $(shell find src -type f 2>/dev/null)

.PHONY: all test test-main test-310 demo bench soak concurrency clean

all: test

# $(1): interpreter, $(2): venv directory, $(3): extras
define install_into
	@test -x $(2)/bin/python || $(1) -m venv $(2)
	$(2)/bin/python -m pip install --quiet --upgrade pip
	$(2)/bin/python -m pip install --quiet ".[$(3)]"
	@touch $@
endef

$(VENV)/.installed: $(SOURCES)
	$(call install_into,$(PYTHON),$(VENV),test$(comma)bench)

$(VENV310)/.installed: $(SOURCES)
	$(call install_into,$(PYTHON310),$(VENV310),test)

test: test-main test-310

test-main: $(VENV)/.installed
	$(VENV)/bin/python -m pytest $(PYTEST_ARGS)

test-310:
ifneq ($(PYTHON310),)
	$(MAKE) --no-print-directory $(VENV310)/.installed
	$(VENV310)/bin/python -m pytest $(PYTEST_ARGS)
else
	@echo "no Python 3.10 under $(PYENV_ROOT): skipping the 3.10 run"
endif

demo: $(VENV)/.installed
	$(VENV)/bin/python examples/demo.py

bench: $(VENV)/.installed
	$(VENV)/bin/python bench/bench.py

# SOAK_ARGS=--quick (or --calls N) for a shorter run.
soak: $(VENV)/.installed
	$(VENV)/bin/python bench/soak.py $(SOAK_ARGS)

concurrency: $(VENV)/.installed
	$(VENV)/bin/python bench/concurrency.py

clean:
	rm -rf build $(VENV) $(VENV310)
