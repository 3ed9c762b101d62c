# Every target runs inside the project's Debian sid root (tools/devroot),
# which carries Python 3.14 and the rest of the toolchain; the first use
# builds that root (about two minutes).
DEVROOT := tools/devroot
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
PYTEST_ARGS ?=

.PHONY: build test run bench asan format clean

build:
	$(DEVROOT) bash -c 'cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null && cmake --build $(BUILD_DIR)'

test: build
	$(DEVROOT) python3 -m pytest $(PYTEST_ARGS)

run: build
	$(DEVROOT) python3 -m tarvex_master.standin $(RUN_ARGS)

bench: build
	$(DEVROOT) bash -c 'for b in bench/bench_*.py; do python3 "$$b" || exit 1; done'

format:
	$(DEVROOT) bash -c 'clang-format -i src/*/*.hpp src/*/*.cpp tests/native/*.cpp'

clean:
	rm -rf $(BUILD_DIR) build-asan
	find tarvex_master tests -name '*.so' -delete
