# The pinned clang-format of make lint once it is installed, else the one on PATH.
CLANG_FORMAT ?= $(if $(wildcard .venv/lint/bin/clang-format),.venv/lint/bin/clang-format,clang-format)

.PHONY: test test-latest test-32bit test-free-threaded test-windows demo format lint clean sanitize fuzz valgrind wheels

# Builds everything, starts zolmar-sim, runs examples/trading_demo.py against it, stops it; the
# last three in a network namespace of their own where one can be made.
demo:
	tools/run-demo

# Builds one stable-ABI wheel with CPython 3.7, installs it into .venv/py3.7 and .venv/py3.13 and
# runs the tests on both, each in a network namespace of its own where one can be made.
test:
	tools/run-tests

# The suite in a private Debian unstable root (tools/debian-root) on CPython 3.14 and 3.15 and
# on their debug builds (-X dev, reference totals), each in a network namespace of its own.
test-latest:
	tools/run-root-tests latest

# The suite on a free-threaded CPython 3.13 (--disable-gil), built once from Debian's source
# package in the unstable root (tools/free-threaded-python) and kept there; the modules are built
# for it, and the suite runs with its GIL off, in a network namespace of its own.
test-free-threaded:
	tools/run-root-tests free-threaded

# The suite in a private 32-bit Debian stable root (i386) on its python3, under setarch i686.
test-32bit:
	tools/run-root-tests 32bit

# The two Windows wheels cross-built with mingw-w64 (cp37-abi3, win32 and win_amd64) and an sdist,
# checked (abi3audit too, with the Linux wheel), then put into dist/. Installs Debian's mingw-w64
# when missing.
wheels:
	tools/build-wheels

# The whole suite under Wine on the embeddable CPython 3.8 and 3.13 for Windows, from dist/'s one
# win_amd64 wheel. Installs Debian's Wine and mingw-w64 when missing.
test-windows:
	tools/run-windows-tests

# The module and zolmar-sim built with AddressSanitizer and UBSan; the whole suite on both.
sanitize:
	tools/run-sanitized

# Fuzzes zolmar-sim's request handling for FUZZ_SECONDS (default 300).
fuzz:
	tools/run-fuzz

# memcheck over a scripted zolmar-sim session and over the suite on CPython 3.7.
valgrind:
	tools/run-valgrind

# clang-format (check), clang-tidy and ruff, pinned from PyPI.
lint:
	tools/run-lint

format:
	$(CLANG_FORMAT) -i module/*.cpp channel/*.[ch]pp commands/*.[ch]pp support/*.[ch]pp sim/*.[ch]pp fuzz/*.cpp tests/*.cpp

clean:
	rm -rf build .venv .windows
