.PHONY: test demo format clean

# Builds everything, starts zolmar-sim, runs examples/trading_demo.py against it, stops it.
demo:
	tools/run-demo

# Builds the module for CPython 3.7 and 3.13 in .venv/ and runs the tests on both.
test:
	tools/run-tests

format:
	clang-format -i module/*.cpp channel/*.[ch]pp commands/*.[ch]pp support/*.[ch]pp sim/*.[ch]pp

clean:
	rm -rf build .venv
