.PHONY: test demo format clean

# Builds the module for CPython 3.7 and 3.13 in .venv/ and runs the tests on both.
test:
	tools/run-tests

format:
	clang-format -i module/*.cpp channel/*.[ch]pp commands/*.[ch]pp support/*.[ch]pp

clean:
	rm -rf build .venv
