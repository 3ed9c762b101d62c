# Every target runs inside the project's Debian sid root (tools/devroot),
# which carries Python 3.14 and the rest of the toolchain; the first use
# builds that root (about two minutes).
DEVROOT := tools/devroot
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
PYTEST_ARGS ?=

# The code editor page uses Monaco from the npm registry. npm runs on the
# host: the development root has no Node.js. The lock file pins the version.
NODE_STAMP := node_modules/.package-lock.json

.PHONY: build test run bench check-install asan format clean web

build:
	$(DEVROOT) bash -c 'cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null && cmake --build $(BUILD_DIR)'

test: build web
	$(DEVROOT) python3 -m pytest $(PYTEST_ARGS)

run: build web
	$(DEVROOT) python3 -m tarvex_master.standin $(RUN_ARGS)

web: $(NODE_STAMP)

$(NODE_STAMP): package.json package-lock.json
	@command -v npm >/dev/null || { echo "installing npm on the host (the code editor page needs it)" >&2; \
	  apt-get install -y npm >/dev/null || { echo "npm is needed: apt-get install npm" >&2; exit 1; }; }
	npm ci --no-audit --no-fund
	@touch $@

bench: build
	$(DEVROOT) bash -c 'for b in bench/bench_*.py; do python3 "$$b" || exit 1; done'

# The whole test suite against modules built with AddressSanitizer and
# UndefinedBehaviorSanitizer, in a copy of the tree under build-asan/stage
# (the interpreter itself is not instrumented, so the runtimes are preloaded
# and leak checking is off: the interpreter keeps much alive until exit).
ASAN_DIR := build-asan
asan: web
	$(DEVROOT) bash -c 'set -e; stage=$(CURDIR)/$(ASAN_DIR)/stage; rm -rf $$stage; mkdir -p $$stage; \
	  cp -r tarvex_master tests bench pyproject.toml $$stage/; find $$stage -name "*.so" -delete; \
	  ln -s $(CURDIR)/node_modules $$stage/node_modules; \
	  cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEX_SANITIZE=ON -DTARVEX_STAGE_DIR=$$stage >/dev/null; \
	  cmake --build $(ASAN_DIR); cd $$stage; \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  python3 -m pytest $(PYTEST_ARGS)'

# Installs the package with pip into a fresh venv (the way a user with
# Python 3.14 would) and imports the three modules from the installed copy.
# Inside the root the dependencies come from Debian, hence --no-deps.
check-install:
	$(DEVROOT) bash -c 'set -e; v=$$(mktemp -d); trap "rm -rf $$v" EXIT; \
	  python3 -m venv --system-site-packages $$v/venv; \
	  $$v/venv/bin/pip install -q --no-index --no-deps --no-build-isolation .; \
	  cd $$v && venv/bin/python -c "import tarvex_master.python_server.kernel, tarvex_master.python_server.lexora, tarvex_master.python_server.tarvex.vantrel as v; assert \"site-packages\" in v.__file__; print(\"installed package imports:\", v.__file__)"; \
	  test -x venv/bin/tarvex-kernel'

format:
	$(DEVROOT) bash -c 'clang-format -i $$(find src tests/native -name "*.[ch]pp")'

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) node_modules
	find tarvex_master tests -name '*.so' -delete
