# Set-up and checks. `make test` and `make demo` work on a fresh machine: each builds a virtual environment,
# installs the package into it with `pip install .` and runs.

PYTHON ?= python3
VENV ?= .venv
# The host runs Python 3.10: where pyenv has it, the suite runs there too.
PYENV_ROOT ?= $(HOME)/.pyenv
PYTHON310 ?= $(lastword $(wildcard $(PYENV_ROOT)/versions/3.10*/bin/python3.10))
VENV310 ?= .venv310
PYTEST_ARGS ?=
# WERROR=1 builds with warnings as errors, as CI does.
WERROR ?=

comma := ,
SOURCES := pyproject.toml CMakeLists.txt $(shell find src -type f 2>/dev/null)
CXX_SOURCES := $(shell find src tests/native -name '*.cpp' -o -name '*.hpp' 2>/dev/null)
BUILD_OPTIONS := $(if $(WERROR),--config-settings=cmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON)

.PHONY: all test test-main test-310 format format-check demo bench bench-corpus soak concurrency sanitize fuzz clean

all: test

# $(1): interpreter, $(2): venv directory, $(3): extras
define install_into
	@test -x $(2)/bin/python || $(1) -m venv $(2)
	$(2)/bin/python -m pip install --quiet --upgrade pip
	$(2)/bin/python -m pip install --quiet $(BUILD_OPTIONS) ".[$(3)]"
	@touch $@
endef

$(VENV)/.installed: $(SOURCES)
	$(call install_into,$(PYTHON),$(VENV),test$(comma)bench$(comma)corpus)

$(VENV310)/.installed: $(SOURCES)
	$(call install_into,$(PYTHON310),$(VENV310),test$(comma)corpus)

test: format-check test-main test-310

# The C++ style is .clang-format's; `make format` applies it.
format-check: $(VENV)/.installed
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)

format: $(VENV)/.installed
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)

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
	$(VENV)/bin/python examples/corpus_demo.py

bench: $(VENV)/.installed
	$(VENV)/bin/python bench/bench.py

# A corpus of 2,000 inputs through the runner on a local cluster, against the endpoint answering after 200 ms.
bench-corpus: $(VENV)/.installed
	$(VENV)/bin/python bench/corpus.py

# SOAK_ARGS=--quick (or --calls N) for a shorter run.
soak: $(VENV)/.installed
	$(VENV)/bin/python bench/soak.py $(SOAK_ARGS)

concurrency: $(VENV)/.installed
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
	@test -x $(VENV_SANITIZE)/bin/python || $(PYTHON) -m venv $(VENV_SANITIZE)
	$(VENV_SANITIZE)/bin/python -m pip install --quiet --upgrade pip
	KESTOR_SANITIZE=address,undefined $(VENV_SANITIZE)/bin/python -m pip install --quiet \
		--config-settings=build-dir=build/sanitize/{wheel_tag} --config-settings=cmake.build-type=RelWithDebInfo ".[test]"
	@touch $@

sanitize: $(VENV_SANITIZE)/.installed
	$(SANITIZE_ENV) $(VENV_SANITIZE)/bin/python -m pytest --capture=sys $(PYTEST_ARGS)


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

$(FUZZ_VENV)/.atheris:
	@command -v clang++-$(FUZZ_LLVM) >/dev/null || { apt-get update && apt-get install -y clang-$(FUZZ_LLVM); }
	@test -x $(FUZZ_VENV)/bin/python || $(PYTHON) -m venv $(FUZZ_VENV)
	$(FUZZ_VENV)/bin/python -m pip install --quiet --upgrade pip
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

clean:
	rm -rf build $(VENV) $(VENV310) $(VENV_SANITIZE) $(FUZZ_VENV) .fuzz
