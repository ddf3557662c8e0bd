# Set-up and checks. `make demo` runs the scripted agent session, `make test`
# the test suite; both create the virtual environment when it is missing.

# The interpreter: an explicit PYTHON=, else python3.13 if it runs, else
# pyenv's 3.13, else Debian's.
ifndef PYTHON
PYTHON := $(shell \
  if python3.13 -c pass >/dev/null 2>&1; then echo python3.13; \
  elif command -v pyenv >/dev/null 2>&1 && ls "$$(pyenv root)"/versions/3.13.*/bin/python3.13 >/dev/null 2>&1; then \
    ls "$$(pyenv root)"/versions/3.13.*/bin/python3.13 | tail -n 1; \
  elif [ -x /usr/bin/python3.13 ]; then echo /usr/bin/python3.13; fi)
endif

VENV      := .venv
ASAN_VENV := .venv-asan
COV_VENV  := .venv-cov
BUILD_DEPS := scikit-build-core cmake ninja
PIP_FLAGS := --disable-pip-version-check -q
PYTEST_ARGS ?=
# WERROR=ON (as CI builds) makes every compiler warning an error.
WERROR ?= OFF
CMAKE_FLAGS = -Ccmake.define.VELMOR_WERROR=$(WERROR)

.PHONY: all install demo test test-fast lint format bench asan-test coverage clean check-python

all: test

check-python:
	@test -n "$(PYTHON)" || { echo "Python 3.13 not found; run make PYTHON=/path/to/python3.13"; exit 1; }
	@$(PYTHON) -c 'import sys; assert sys.version_info[:2] == (3, 13), sys.version' \
	  || { echo "$(PYTHON) is not Python 3.13"; exit 1; }

# A virtual environment with the build tools; the package itself is
# (re)installed on every run so that source changes are always picked up.
%/.tools-stamp: pyproject.toml | check-python
	test -x $*/bin/python || $(PYTHON) -m venv $*
	$*/bin/python -m pip install $(PIP_FLAGS) $(BUILD_DEPS)
	touch $@

install: $(VENV)/.tools-stamp
	$(VENV)/bin/python -m pip install $(PIP_FLAGS) --no-build-isolation \
	  -Cbuild-dir=build/release $(CMAKE_FLAGS) '.[test,mcp]'

# The Python sources are linted and their formatting checked before the suite
# runs, and the host package type-checked (mypy, strict; its settings are in
# pyproject.toml). stubtest then holds the native modules' stubs (.pyi) to the
# modules as built: a name, parameter or kind of function the stub gets wrong
# fails the check. So is the formatting of both extensions' C++ (.clang-format).
LINTED := host tests bench examples
NATIVE_MODULES := velmor.tools.tool_creator velmor.core._sandbox
CXX_SOURCES = $(shell find native tools host/native \( -name '*.cpp' -o -name '*.hpp' \) | sort)
lint: install
	$(VENV)/bin/ruff check $(LINTED)
	$(VENV)/bin/ruff format --check $(LINTED)
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)
	$(VENV)/bin/mypy
	$(VENV)/bin/python -m mypy.stubtest --mypy-config-file pyproject.toml $(NATIVE_MODULES)

# Rewrites the sources in their formats (ruff's for Python, .clang-format's for C++).
format: install
	$(VENV)/bin/ruff format $(LINTED)
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)

test: lint
	$(VENV)/bin/python -m pytest -q $(PYTEST_ARGS)

# Everything but the long system suites (marked slow: the escape suites,
# soak, stress, leak loops, real MCP servers and clients, the docs' snippets,
# store durability, fuzzing), for quick turns.
test-fast: install
	$(VENV)/bin/python -m pytest -q -m "not slow" $(PYTEST_ARGS)

demo: install
	$(VENV)/bin/python examples/agent_session.py

bench: install
	$(VENV)/bin/python bench/bench_spawn.py
	$(VENV)/bin/python bench/bench_sandbox.py
	$(VENV)/bin/python bench/bench_module.py
	$(VENV)/bin/python bench/bench_mcp.py

# The same suite against an AddressSanitizer + UBSan build of the extension.
# The stock interpreter is not instrumented, so the sanitizer runtime (and
# libstdc++, so that C++ exceptions unwind through it) is preloaded. Leaks are
# reported, except allocations the interpreter made itself: the allocation
# context is cut to two frames so that tests/lsan.supp matches only where the
# allocating function lies in the interpreter, not merely somewhere below it.
ASAN_PRELOAD = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so) $(shell g++ -print-file-name=libstdc++.so)
asan-test: $(ASAN_VENV)/.tools-stamp
	$(ASAN_VENV)/bin/python -m pip install $(PIP_FLAGS) --no-build-isolation \
	  -Cbuild-dir=build/asan -Ccmake.build-type=Debug -Ccmake.define.VELMOR_SANITIZE=ON $(CMAKE_FLAGS) '.[test,mcp]'
	LD_PRELOAD="$(ASAN_PRELOAD)" PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0:malloc_context_size=2 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider $(PYTEST_ARGS)

# Line coverage, as information (no target): the suite against a Debug build of
# the extension with gcov counters (in .venv-cov), then the host's figures
# (pytest-cov, with the Python processes the tests start: see pyproject.toml)
# and the extension's (gcovr). The counters start from zero each run. Code
# that runs inside a helper or a job is not counted: those processes start
# with an environment of their own and are confined, and write no coverage
# data. The figures print even when a test fails; the target then fails.
coverage: $(COV_VENV)/.tools-stamp
	$(COV_VENV)/bin/python -m pip install $(PIP_FLAGS) --no-build-isolation \
	  -Cbuild-dir=build/coverage -Ccmake.build-type=Debug -Ccmake.define.VELMOR_COVERAGE=ON \
	  $(CMAKE_FLAGS) '.[test,mcp,coverage]'
	find build/coverage -name '*.gcda' -delete
	rm -f .coverage .coverage.*
	status=0; COVERAGE_CORE=sysmon $(COV_VENV)/bin/python -m pytest -q -p no:cacheprovider \
	  --cov=velmor --cov-report=term $(PYTEST_ARGS) || status=$$?; \
	echo "C++ extension (tools/tool_creator), line coverage:"; \
	$(COV_VENV)/bin/gcovr --root . --object-directory build/coverage --filter 'tools/' \
	  --txt --print-summary || status=1; \
	exit $$status

clean:
	rm -rf build $(VENV) $(ASAN_VENV) $(COV_VENV)
