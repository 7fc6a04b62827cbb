.PHONY: test demo format clean sanitize fuzz valgrind

# Builds everything, starts zolmar-sim, runs examples/trading_demo.py against it, stops it.
demo:
	tools/run-demo

# Builds the module for CPython 3.7 and 3.13 in .venv/ and runs the tests on both.
test:
	tools/run-tests

# The module and zolmar-sim built with AddressSanitizer and UBSan; the whole suite on both.
sanitize:
	tools/run-sanitized

# Fuzzes zolmar-sim's request handling for FUZZ_SECONDS (default 300).
fuzz:
	tools/run-fuzz

# memcheck over a scripted zolmar-sim session and over the suite on CPython 3.7.
valgrind:
	tools/run-valgrind

format:
	clang-format -i module/*.cpp channel/*.[ch]pp commands/*.[ch]pp support/*.[ch]pp sim/*.[ch]pp fuzz/*.cpp

clean:
	rm -rf build .venv
