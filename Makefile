# Shortcuts for the nox sessions of noxfile.py; scripts/nox.sh installs nox and redis-server.
SHELL := /bin/bash
NOX := bash scripts/nox.sh

.PHONY: test wheels arm64 example bench bench-guard sanitize memcheck leakcheck format format-check lint dev

test:  ## the whole suite on every CPython line from 3.8 to 3.15 (3.14, 3.15 in a Debian unstable root), fresh isolated builds
	$(NOX) -s tests

wheels:  ## manylinux wheels for every CPython line into build/wheelhouse/, each tested without a compiler
	$(NOX) -s wheels

arm64:  ## Debian arm64 roots under QEMU (3.9, 3.11, 3.13, 3.14, 3.15): the suite from the sdist, tested aarch64 wheels
	bash scripts/arm64.sh

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

format:  ## clang-format on the C++; ruff's import sorting and formatter on the Python
	$(NOX) -s format

format-check:  ## fails when "make format" would change a file
	$(NOX) -s format-check

lint:  ## ruff check, and clang-tidy (.clang-tidy) over the C++; fails on any finding
	$(NOX) -s lint

dev:  ## (re)builds the extension into .venv-3.8 and .venv-<newest>
	$(NOX) -s dev
