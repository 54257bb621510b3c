# Shortcuts for the nox sessions of noxfile.py; scripts/nox.sh installs nox and redis-server.
SHELL := /bin/bash
NOX := bash scripts/nox.sh

.PHONY: test wheels arm64 example bench bench-guard sanitize memcheck leakcheck stress format format-check lint dev

test:  ## the whole suite on every CPython line from 3.8 to 3.15 (3.14, 3.15 in a Debian unstable root), against each line's wheel
	$(NOX) -s tests

wheels: test  ## the test command: it leaves each line's tested manylinux wheel in build/wheelhouse/

arm64:  ## Debian arm64 roots under QEMU (3.9, 3.11, 3.13, 3.14, 3.15): each line's aarch64 wheel, tested
	$(NOX) -s arm64

example:  ## the producer/consumer example against a throwaway redis-server
	$(NOX) -s example

bench:  ## the benchmark suite; writes bench/results/
	$(NOX) -s bench

bench-guard:  ## the instruction figures (a few minutes); fails when one is > 1 % worse than bench/
	$(NOX) -s bench-guard

sanitize:  ## the suite against an ASan + UBSan build
	$(NOX) -s sanitize

memcheck:  ## part of the suite under valgrind memcheck
	$(NOX) -s memcheck

leakcheck:  ## every operation in many rounds; fails when memory keeps growing
	$(NOX) -s leakcheck

stress:  ## the whole suite with its stress loops at full size and more Hypothesis examples
	$(NOX) -s stress

format:  ## clang-format on the C++; ruff's import sorting and formatter on the Python
	$(NOX) -s format

format-check:  ## fails when "make format" would change a file
	$(NOX) -s format-check

lint:  ## ruff check, and clang-tidy (.clang-tidy) over the C++; fails on any finding
	$(NOX) -s lint

dev:  ## (re)builds the extension into .venv-3.8 and .venv-<newest>
	$(NOX) -s dev
