# Shortcuts for the scripts under scripts/; each script installs what it needs.
SHELL := /bin/bash
TOOLS := build/tools-venv
CXX_SOURCES := $(wildcard src/store_link/*.cpp src/store_link/*.hpp)
PY_SOURCES := examples tests bench scripts src/orba_sdk

.PHONY: test wheels arm64 example bench bench-guard sanitize memcheck leakcheck format format-check lint dev tools

test:  ## the whole suite on every CPython line from 3.8 to the newest, fresh isolated builds
	bash scripts/test.sh

wheels:  ## manylinux wheels for every CPython line into build/wheelhouse/, each tested without a compiler
	bash scripts/wheels.sh

arm64:  ## Debian arm64 roots under QEMU (3.9, 3.11, 3.13): the suite from the sdist, tested aarch64 wheels
	bash scripts/arm64.sh

example:  ## the producer/consumer example against a throwaway redis-server
	bash scripts/run-example.sh

bench:  ## the benchmark suite; writes bench/results/
	bash scripts/bench.sh

bench-guard:  ## the instruction figures (a few minutes); fails when one is > 1 % worse than bench/
	bash scripts/bench-guard.sh

sanitize:  ## the suite against an ASan + UBSan build
	bash scripts/sanitize.sh

memcheck:  ## part of the suite under valgrind memcheck
	bash scripts/memcheck.sh

leakcheck:  ## every operation in rounds; fails when memory keeps growing
	bash scripts/leakcheck.sh

dev:  ## (re)builds the extension into .venv-3.8 and .venv-<newest>
	bash scripts/dev-install.sh

tools: $(TOOLS)/bin/clang-tidy

$(TOOLS)/bin/clang-tidy:
	rm -rf $(TOOLS)
	$$(scripts/find-python.sh newest) -m venv $(TOOLS)
	$(TOOLS)/bin/python -m pip install -q --upgrade pip
	$(TOOLS)/bin/python -m pip install -q "ruff==0.17.*" "clang-format==23.1.*" "clang-tidy==23.1.*"

format: tools  ## clang-format on the C++; ruff's import sorting and formatter on the Python
	$(TOOLS)/bin/clang-format -i $(CXX_SOURCES)
	$(TOOLS)/bin/ruff check --select I --fix $(PY_SOURCES)
	$(TOOLS)/bin/ruff format $(PY_SOURCES)

format-check: tools  ## fails when "make format" would change a file
	$(TOOLS)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)
	$(TOOLS)/bin/ruff format --check $(PY_SOURCES)

lint: tools  ## ruff check, and clang-tidy (.clang-tidy) over the C++; fails on any finding
	$(TOOLS)/bin/ruff check $(PY_SOURCES)
	cmake -S . -B build/lint -DPython_EXECUTABLE=$$(scripts/find-python.sh newest) >/dev/null
	$(TOOLS)/bin/clang-tidy -p build/lint --quiet $(filter %.cpp,$(CXX_SOURCES))
