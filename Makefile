# Set-up and checks. Every dependency is installed from here, never by hand.
PYTHON ?= python3
VENV   ?= .venv
VPY    := $(VENV)/bin/python
NATIVE_BUILD := build/native

.PHONY: demo test pytest native-test install-test deps-native clean

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip

demo: $(VPY)
	$(VPY) -m pip install --quiet .
	$(VPY) examples/quickstart.py

# The test build carries the fault-injection hooks; the wheel never does.
install-test: $(VPY)
	$(VPY) -m pip install --quiet -C cmake.define.LATCHWORK_TEST_HOOKS=ON '.[test]'

pytest: install-test
	$(VPY) -m pytest

# GoogleTest comes from Debian's packages; install it when it is missing and we may.
deps-native:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev; \
	  else \
	    echo "libgtest-dev is missing: install it (apt-get install libgtest-dev)" >&2; exit 1; \
	  fi; \
	fi

native-test: deps-native
	cmake -S . -B $(NATIVE_BUILD) -DCMAKE_BUILD_TYPE=Debug \
	  -DLATCHWORK_PYTHON_MODULE=OFF -DLATCHWORK_NATIVE_TESTS=ON -DLATCHWORK_TEST_HOOKS=ON
	cmake --build $(NATIVE_BUILD) -j2
	ctest --test-dir $(NATIVE_BUILD) --output-on-failure -j2

test: pytest native-test

clean:
	rm -rf build $(VENV)
